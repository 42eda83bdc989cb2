#include "HomeUpdateNotification.h"

#include <memory>
#include <string>

#include "AppControlUtil.h"
#include "AppDetail.h"
#include "Constants.h"
#include "EntryGuard.h"
#include "LocaleTextUtil.h"
#include "Log.h"
#include "TriggerHomeVersion.h"
#include "UpdateStatusMonitor.h"

namespace {

const int HIDE_TIMEOUT_SECONDS = 30;
const int DISPLAY_APPLIST = NOTI_DISPLAY_TRAY | NOTI_DISPLAY_ACTIVE;

void SetUserRequest(REQUEST_STATUS status) {
    Singleton<UpdateStatusMonitor>::GetInstance()->SetUserRequestStatus(status, "");
}

}  // namespace

void HomeUpdateNotification::Show() {
    // Freed on every way out of Show; the posted notification stays with the service.
    std::unique_ptr<_notification, decltype(&notification_free)> noti(
        notification_create(NOTI_TYPE_NORMAL), &notification_free);
    if (!noti) {
        LOGE("Failed to create notification");
        return;
    }
    bool built = m_SetText(noti.get(), NOTI_TEXT_TITLE) &&
                 m_SetText(noti.get(), NOTI_TEXT_CONTENT) &&
                 m_AddButton(noti.get(), NOTI_BUTTON_1) && m_AddButton(noti.get(), NOTI_BUTTON_2) &&
                 m_AddButton(noti.get(), NOTI_BUTTON_3) && m_SetButton(noti.get()) &&
                 m_SetTimeout(noti.get());
    if (!built) {
        LOGE("Failed to set notification");
        return;
    }
    int ret = notification_set_display_applist(noti.get(), DISPLAY_APPLIST);
    if (ret != NOTI_OK) {
        LOGE("Failed to set display applist (retVal:%d)", ret);
        return;
    }
    ret = notification_post_with_event_cb(noti.get(), m_NotificationEventCallback, nullptr);
    if (ret != NOTI_OK)
        LOGE("Failed to post notification (retVal:%d)", ret);
}

bool HomeUpdateNotification::m_SetText(notification_h noti, notification_text_type_e type) {
    std::string text;
    const char* key = nullptr;
    switch (type) {
        case NOTI_TEXT_TITLE:
            text = "Update your Home Screen";
            key = "TITLE";
            break;
        case NOTI_TEXT_CONTENT:
            text = "Experience the latest features by updating your Home now.";
            key = "CONTENT";
            break;
        case NOTI_TEXT_BUTTON_1:
            text = LocaleTextUtil::GetLocalizedText("COM_UPDATE_LATER");
            key = "UPDATE_LATER";
            break;
        case NOTI_TEXT_BUTTON_2:
            text = LocaleTextUtil::GetLocalizedText("COM_TV_SID_UPDATE_NOW");
            key = "UPDATE_NOW";
            break;
        case NOTI_TEXT_BUTTON_3:
            text = LocaleTextUtil::GetLocalizedText("COM_SID_DETAILS");
            key = "DETAIL";
            break;
        default:
            LOGE("Not support!");
            return false;
    }
    int ret = notification_set_text(noti, type, text.c_str(), key, NOTI_VARIABLE_TYPE_NONE);
    if (ret != NOTI_OK) {
        LOGE("Failed to set notification title (retVal:%d)", ret);
        return false;
    }
    return true;
}

bool HomeUpdateNotification::m_AddButton(notification_h noti, notification_button_index_e index) {
    int ret = notification_add_button(noti, index);
    if (ret != NOTI_OK) {
        LOGE("Failed to add notification button (%d), (retVal:%d)", index, ret);
        return false;
    }
    // Button N shows the text of type N + 12.
    return m_SetText(noti, static_cast<notification_text_type_e>(index + 12));
}

bool HomeUpdateNotification::m_SetButton(notification_h noti) {
    int ret = notification_set_default_button(noti, NOTI_BUTTON_1);
    if (ret != NOTI_OK) {
        LOGE("Failed to set default button (retVal:%d)", ret);
        return false;
    }
    return true;
}

bool HomeUpdateNotification::m_SetTimeout(notification_h noti) {
    int ret = notification_set_hide_timeout(noti, HIDE_TIMEOUT_SECONDS);
    if (ret != NOTI_OK) {
        LOGE("Failed to set hide timeout (retVal:%d)", ret);
        return false;
    }
    // A notification that is never deleted by time is still usable: the result is ignored.
    notification_set_delete_timeout(noti, 0);
    return true;
}

void HomeUpdateNotification::m_NotificationEventCallback(notification_h noti, int eventType,
                                                         void* userData) try {
    (void)noti;
    (void)userData;
    LOGI("event_type: %d", eventType);
    switch (eventType) {
        case NOTI_EVENT_BUTTON_1:
            SetUserRequest(UPDATE_LATER);
            break;
        case NOTI_EVENT_BUTTON_2:
            SetUserRequest(UPDATE_NOW);
            break;
        case NOTI_EVENT_BUTTON_3:
            m_LaunchDetailPage();
            break;
        case NOTI_EVENT_HIDDEN_BY_USER:
        case NOTI_EVENT_HIDDEN_BY_TIMEOUT:
        case NOTI_EVENT_HIDDEN_BY_EXTERNAL:
            m_SetCheckNextTime();
            break;
        default:
            break;
    }
} catch (...) {
    LOG_ESCAPED_EXCEPTION();
}

void HomeUpdateNotification::m_SetCheckNextTime() {
    // Only a store service that still waits for an answer is told to ask again next time.
    if (Singleton<UpdateStatusMonitor>::GetInstance()->GetUpgradeStatus() != PRIORITY0_DOWNLOADED)
        return;
    LOGI("P0_Downloaded -> CheckNextTime");
    SetUserRequest(CHECK_NEXT_TIME);
}

void HomeUpdateNotification::m_LaunchDetailPage() {
    TriggerHomeVersion* target = Singleton<TriggerHomeVersion>::GetInstance();
    std::string appId = target->GetAppId();
    std::string version = target->GetVersion();
    std::string description = Singleton<AppDetail>::GetInstance()->GetDescription(version);
    ExtraDataMap extraData = {{"LaunchReason", "DetailPopup"},
                              {"appId", appId},
                              {"appVersion", version},
                              {"appDescription", description}};
    AppControlUtil::SendAppControl(HOME_UPDATE_VIEW_APP_ID, extraData,
                                   "Failed to launch homeupdateview");
}
