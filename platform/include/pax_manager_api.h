/* Store service client library. */
#ifndef PLATFORM_PAX_MANAGER_API_H
#define PLATFORM_PAX_MANAGER_API_H

#include "app_control.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 0 and the sync status (0 initialising, 1 synchronising, higher: ready), or -1. */
int pax_get_apps_sync_status(int* status);
/* Asks the store service to play a priority update; progress arrives through the status key. */
int pax_request_priority_update(void);
/* Hands the store service a recovery action described by the extra data; -1 on failure. */
int pax_add_recovery_action(app_control_h app_control);
/* 0 and a newly allocated JSON text (free it), or -1. */
int pax_get_major_file_info(char** json);

#ifdef __cplusplus
}
#endif

#endif
