/* Notification service: notifications with texts and buttons, and the events the user causes. */
#ifndef PLATFORM_NOTIFICATION_H
#define PLATFORM_NOTIFICATION_H

#ifdef __cplusplus
extern "C" {
#endif

#define NOTI_OK 0
#define NOTI_ERR_INVALID_PARAMETER (-22)
#define NOTI_ERR_IO (-5)

typedef enum {
    NOTI_TYPE_NORMAL = 0,
} notification_type_e;

typedef enum _notification_text_type {
    NOTI_TEXT_TITLE = 0,
    NOTI_TEXT_CONTENT = 1,
    NOTI_TEXT_BUTTON_1 = 13,
    NOTI_TEXT_BUTTON_2 = 14,
    NOTI_TEXT_BUTTON_3 = 15,
} notification_text_type_e;

typedef enum _notification_button_index {
    NOTI_BUTTON_1 = 1,
    NOTI_BUTTON_2 = 2,
    NOTI_BUTTON_3 = 3,
} notification_button_index_e;

/* Where the notification is shown; flags may be combined. */
#define NOTI_DISPLAY_TRAY 0x01
#define NOTI_DISPLAY_ACTIVE 0x10

/* Events delivered to the poster: a button pressed, or the notification hidden. */
#define NOTI_EVENT_BUTTON_1 0
#define NOTI_EVENT_BUTTON_2 1
#define NOTI_EVENT_BUTTON_3 2
#define NOTI_EVENT_HIDDEN_BY_USER 100
#define NOTI_EVENT_HIDDEN_BY_TIMEOUT 101
#define NOTI_EVENT_HIDDEN_BY_EXTERNAL 102

/* Ends the argument list of notification_set_text. */
#define NOTI_VARIABLE_TYPE_NONE (-1)

typedef struct _notification* notification_h;
typedef void (*notification_event_cb)(notification_h noti, int event_type, void* user_data);

notification_h notification_create(notification_type_e type);
int notification_free(notification_h noti);
int notification_set_text(notification_h noti, notification_text_type_e type, const char* text,
                          const char* key, int args_type, ...);
int notification_add_button(notification_h noti, notification_button_index_e index);
int notification_set_default_button(notification_h noti, notification_button_index_e index);
/* Seconds until the notification hides by itself (event 101); 0 keeps it. */
int notification_set_hide_timeout(notification_h noti, int timeout);
int notification_set_delete_timeout(notification_h noti, int timeout);
int notification_set_display_applist(notification_h noti, int applist);
int notification_post(notification_h noti);
/* Events of the posted notification reach `cb` on the poster's main loop. */
int notification_post_with_event_cb(notification_h noti, notification_event_cb cb, void* user_data);

#ifdef __cplusplus
}
#endif

#endif
