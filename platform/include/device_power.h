/* Device power service: power-state changes and reboot requests. */
#ifndef PLATFORM_DEVICE_POWER_H
#define PLATFORM_DEVICE_POWER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DEVICE_POWER_OK 0
#define DEVICE_POWER_ERR (-1)

/* New-state values 2, 3 and 4 are power-off states. */
typedef struct _device_power_state_info {
    int64_t timestamp_ms;
    int32_t previous_state;
    int32_t new_state;
} device_power_state_info;

typedef int (*device_power_state_changed_cb)(device_power_state_info* info, void* user_data);

int device_power_subscribe_state_changed_event(device_power_state_changed_cb cb, void* user_data);
int device_power_unsubscribe_state_changed_event(device_power_state_changed_cb cb);
/* 0 when accepted: the set then restarts. */
int device_power_request_reboot(int code);

#ifdef __cplusplus
}
#endif

#endif
