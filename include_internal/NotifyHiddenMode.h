// What the test mode shows: toasts through the system popup and notifications.
#pragma once

#include <notification.h>

#include <string>

#include "HiddenMode.h"

class NotifyHiddenMode {
  public:
    static void ShowToastPopup(HiddenMode::MsgType type, const std::string& text);
    static void ShowNotification(HiddenMode::MsgType type, const std::string& text);
    // The message text for the type, with `text` filled in.
    static std::string m_GetContent(HiddenMode::MsgType type, const std::string& text);

  private:
    static bool m_SetNotiText(notification_h noti, HiddenMode::MsgType type,
                              const std::string& text);
    static bool m_SetNotiTimeout(notification_h noti);
};
