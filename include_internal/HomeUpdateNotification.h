// The notification that asks the user whether to install a downloaded Home update.
#pragma once

#include <notification.h>

class HomeUpdateNotification {
  public:
    static void Show();

  private:
    static bool m_SetText(notification_h noti, notification_text_type_e type);
    static bool m_AddButton(notification_h noti, notification_button_index_e index);
    static bool m_SetButton(notification_h noti);
    static bool m_SetTimeout(notification_h noti);
    static void m_NotificationEventCallback(notification_h noti, int eventType, void* userData);
    static void m_SetCheckNextTime();
    static void m_LaunchDetailPage();
};
