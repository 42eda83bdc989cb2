// Every settings key the service reads, writes or watches.
#pragma once

namespace keys {
constexpr const char* PRIORITY_BIU_STATUS = "memory/pax/priority_biu_status";
constexpr const char* HOME_PRIORITY_UPDATE_STATUS = "memory/home/priority_update_status";
constexpr const char* HOME_UPDATE_STATE = "db/home/update_state";
constexpr const char* HOME_RESET_STATUS = "db/home/reset_status";
constexpr const char* PORTAL_RESET_STATE = "memory/kesh/lumaport_reset_state";
constexpr const char* FACTORY_RESET_COUNT = "db/factory/factory_reset_count";
constexpr const char* SERVICE_RESET_COUNT = "db/factory/service_reset_count";
constexpr const char* PORTAL_RESET_COUNT = "db/lumaport/reset_count";
constexpr const char* AUTO_UPDATE = "db/menu/support/softwareupdate/autoupdate";
constexpr const char* CURRENT_FULLSCREEN_APPID = "memory/appfw/current_fullscreen_appid";
constexpr const char* MENU_LANGUAGE = "db/menu_widget/language";
constexpr const char* MODEL_ID = "db/dravo/modelid";
constexpr const char* COUNTRY_CODE = "db/dravo/countrycode";
constexpr const char* FIRMWARE_VERSION = "db/dravo/tesselanversion";
}  // namespace keys
