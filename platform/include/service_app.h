/* Service application framework: runs the main loop of a headless application. */
#ifndef PLATFORM_SERVICE_APP_H
#define PLATFORM_SERVICE_APP_H

#include <stdbool.h>

#include "app_control.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SERVICE_APP_OK 0
#define SERVICE_APP_ERR_ALREADY_RUNNING (-114)
#define SERVICE_APP_ERR_INVALID_PARAMETER (-22)
#define SERVICE_APP_ERR_NO_DEVICE (-19)
#define SERVICE_APP_ERR_IO (-5)
/* The create callback returned false. */
#define SERVICE_APP_ERR_CANCELED (-125)

typedef bool (*service_app_create_cb)(void* user_data);
typedef void (*service_app_terminate_cb)(void* user_data);
typedef void (*service_app_control_cb)(app_control_h app_control, void* user_data);

typedef struct {
    service_app_create_cb create;
    service_app_terminate_cb terminate;
    service_app_control_cb app_control;
} service_app_lifecycle_callback_s;

/* Blocks while the application runs; 0 when it ended normally, an error code otherwise. */
int service_app_main(int argc, char** argv, service_app_lifecycle_callback_s* callback,
                     void* user_data);
/* Ends the main loop: the terminate callback runs and service_app_main returns 0. */
void service_app_exit(void);

#ifdef __cplusplus
}
#endif

#endif
