/* App control: launch requests between applications, with string extra data. */
#ifndef PLATFORM_APP_CONTROL_H
#define PLATFORM_APP_CONTROL_H

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    APPCTL_OK = 0,
    APPCTL_ERR_INVALID_PARAMETER = -22,
    APPCTL_ERR_OUT_OF_MEMORY = -12,
    APPCTL_ERR_KEY_NOT_FOUND = -126,
    APPCTL_ERR_APP_NOT_FOUND = -1001,
    APPCTL_ERR_LAUNCH_FAILED = -1002,
    APPCTL_ERR_IO = -5,
} appctl_error_e;

/* The operation of an ordinary launch. */
#define APPCTL_OPERATION_DEFAULT "talvoro.appcontrol.operation.DEFAULT"

typedef struct app_control_s* app_control_h;

int app_control_create(app_control_h* app_control);
int app_control_destroy(app_control_h app_control);
int app_control_set_app_id(app_control_h app_control, const char* app_id);
int app_control_set_operation(app_control_h app_control, const char* operation);
int app_control_add_extra_data(app_control_h app_control, const char* key, const char* value);
/* A newly allocated copy of the value (free it); APPCTL_ERR_KEY_NOT_FOUND when absent. */
int app_control_get_extra_data(app_control_h app_control, const char* key, char** value);
/* A newly allocated copy of the sender's application id (free it). */
int app_control_get_caller(app_control_h app_control, char** caller);

typedef void (*app_control_reply_cb)(app_control_h request, app_control_h reply, int result,
                                     void* user_data);
/* Journals the request and delivers it to the target; the reply callback is not supported. */
int app_control_send_launch_request(app_control_h app_control, app_control_reply_cb callback,
                                    void* user_data);

#ifdef __cplusplus
}
#endif

#endif
