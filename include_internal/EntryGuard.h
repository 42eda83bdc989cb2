// The last line of defence at every entry from the platform (settings-key callbacks, app-control
// requests, notification and power events, timers, create and terminate): an exception escaping
// into the platform's C code would end the process. Each entry is a function-try-block whose
// handler logs what escaped, with the entry's own name in the prefix, and returns; the service
// goes on. Each unit's own handling stays where it is.
//
//     void Unit::m_OnEvent(int event) try {
//         ...
//     } catch (...) {
//         LOG_ESCAPED_EXCEPTION();
//     }
#pragma once

#include <exception>

#include "Log.h"

#define LOG_ESCAPED_EXCEPTION()                             \
    do {                                                    \
        try {                                               \
            throw;                                          \
        } catch (const std::exception& escaped) {           \
            LOGE("uncaught exception: %s", escaped.what()); \
        } catch (...) {                                     \
            LOGE("uncaught exception of an unknown type");  \
        }                                                   \
    } while (0)
