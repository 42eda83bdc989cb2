#include "NotifyHiddenMode.h"

#include <app_control.h>

#include <memory>

#include "Constants.h"
#include "LocaleTextUtil.h"
#include "Log.h"

namespace {

constexpr const char* TITLE = "Home Update Test Mode";
constexpr const char* PLACEHOLDER = "<<A>>";
constexpr int HIDE_TIMEOUT_SECONDS = 5;

std::string UpdatingContent(const std::string& text) {
    std::string content = LocaleTextUtil::GetLocalizedText(
        "COM_SID_MC_MIX_CDDEC_IS_UPDATING_PLEASE_WAIT_UNTIL_THE_UPDATE_IS_COMPLETE");
    if (content.empty()) {
        content = "Home is updating. Please wait until the update is complete.";
    } else {
        LocaleTextUtil::ReplaceSubjectText(content, PLACEHOLDER,
                                           LocaleTextUtil::GetLocalizedText("COM_SID_HOME_M_MAIN"));
    }
    return content + "\n" + text;
}

std::string SucceededContent(const std::string& version) {
    std::string content = LocaleTextUtil::GetLocalizedText("COM_MIX_SOFTWARE_UPDATED_VERSION");
    if (content.empty())
        return "The software has been updated to version " + version;
    LocaleTextUtil::ReplaceSubjectText(content, PLACEHOLDER, version);
    return content;
}

}  // namespace

std::string NotifyHiddenMode::m_GetContent(HiddenMode::MsgType type, const std::string& text) {
    switch (type) {
        case HiddenMode::TEST_MODE_OFF:
            return "Home Update Test Mode Off";
        case HiddenMode::COLD_BOOT:
            return "Please do cold boot. " + text;
        case HiddenMode::UPDATING:
            return UpdatingContent(text);
        case HiddenMode::UPDATE_FAILED:
            // No English fallback: an empty lookup still shows the reason in brackets.
            return LocaleTextUtil::GetLocalizedText("TV_SID_FAILED_UPDATE") + "\n(" + text + ")";
        case HiddenMode::UPDATE_SUCCEEDED:
            return SucceededContent(text);
        case HiddenMode::TEST_MODE_ON:
        default:
            return "Home Update Test Mode On";
    }
}

void NotifyHiddenMode::ShowToastPopup(HiddenMode::MsgType type, const std::string& text) {
    LOGD("type: %d", static_cast<int>(type));
    std::string title = TITLE;
    std::string content = m_GetContent(type, text);
    if (title.empty() || content.empty())
        return;

    // The system popup takes a bare request: no operation and no "Caller".
    app_control_h request = nullptr;
    app_control_create(&request);
    app_control_set_app_id(request, SYSPOPUP_APP_ID);
    app_control_add_extra_data(request, "type", "toast");
    app_control_add_extra_data(request, "text", content.c_str());
    app_control_add_extra_data(request, "app_name", BRENWICK_APP_ID);
    int ret = app_control_send_launch_request(request, nullptr, nullptr);
    if (ret != APPCTL_OK)
        LOGI("Failed to launch syspopup. %d", ret);
    app_control_destroy(request);
}

bool NotifyHiddenMode::m_SetNotiText(notification_h noti, HiddenMode::MsgType type,
                                     const std::string& text) {
    std::string title = TITLE;
    std::string content = m_GetContent(type, text);
    if (title.empty() || content.empty())
        return false;
    int ret = notification_set_text(noti, NOTI_TEXT_TITLE, title.c_str(), "TITLE",
                                    NOTI_VARIABLE_TYPE_NONE);
    if (ret != NOTI_OK) {
        LOGE("Failed to set notification title (retVal:%d)", ret);
        return false;
    }
    ret = notification_set_text(noti, NOTI_TEXT_CONTENT, content.c_str(), "CONTENT",
                                NOTI_VARIABLE_TYPE_NONE);
    if (ret != NOTI_OK) {
        LOGE("Failed to set notification content (retVal:%d)", ret);
        return false;
    }
    return true;
}

bool NotifyHiddenMode::m_SetNotiTimeout(notification_h noti) {
    int ret = notification_set_hide_timeout(noti, HIDE_TIMEOUT_SECONDS);
    if (ret != NOTI_OK) {
        LOGE("Failed to set hide timeout (retVal:%d)", ret);
        return false;
    }
    // Gone from the tray once hidden; nothing to keep.
    notification_set_delete_timeout(noti, 0);
    return true;
}

void NotifyHiddenMode::ShowNotification(HiddenMode::MsgType type, const std::string& text) {
    // Freed on every path, the failing steps included.
    std::unique_ptr<_notification, decltype(&notification_free)> noti(
        notification_create(NOTI_TYPE_NORMAL), &notification_free);
    if (!noti) {
        LOGE("Failed to create notification");
        return;
    }
    if (!m_SetNotiText(noti.get(), type, text)) {
        LOGE("Failed to set notification");
        return;
    }
    if (!m_SetNotiTimeout(noti.get())) {
        LOGE("Failed to set notification");
        return;
    }
    int ret = notification_add_button(noti.get(), NOTI_BUTTON_1);
    if (ret != NOTI_OK) {
        LOGE("Failed to add button (retVal:%d)", ret);
        return;
    }
    ret = notification_set_text(noti.get(), NOTI_TEXT_BUTTON_1, "Close", "BUTTON",
                                NOTI_VARIABLE_TYPE_NONE);
    if (ret != NOTI_OK) {
        LOGE("Failed to set button text (retVal:%d)", ret);
        return;
    }
    ret = notification_set_display_applist(noti.get(), NOTI_DISPLAY_TRAY | NOTI_DISPLAY_ACTIVE);
    if (ret != NOTI_OK) {
        LOGE("Failed to set display applist (retVal:%d)", ret);
        return;
    }
    ret = notification_post(noti.get());
    if (ret != NOTI_OK)
        LOGE("Failed to post notification (retVal:%d)", ret);
}
