// House log format: "FILE: FUNCTION(LINE) > message" under the tag BRENWICK.
#pragma once

#include <dlog.h>

#define BRENWICK_LOG_TAG "BRENWICK"

constexpr const char* LogBaseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '/')
            base = p + 1;
    }
    return base;
}

#define BRENWICK_LOG(prio, fmt, ...)                                                              \
    __dlog_print(LOG_ID_MAIN, prio, BRENWICK_LOG_TAG, "%s: %s(%d) > " fmt, LogBaseName(__FILE__), \
                 __func__, __LINE__, ##__VA_ARGS__)

#define LOGD(fmt, ...) BRENWICK_LOG(DLOG_DEBUG, fmt, ##__VA_ARGS__)
#define LOGI(fmt, ...) BRENWICK_LOG(DLOG_INFO, fmt, ##__VA_ARGS__)
#define LOGW(fmt, ...) BRENWICK_LOG(DLOG_WARN, fmt, ##__VA_ARGS__)
#define LOGE(fmt, ...) BRENWICK_LOG(DLOG_ERROR, fmt, ##__VA_ARGS__)
