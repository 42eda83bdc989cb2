#include "PlatformRegistration.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "EntryGuard.h"
#include "Log.h"
#include "MainLoopTimer.h"

PlatformRegistration::PlatformRegistration(std::string what, std::function<int()> doRegister,
                                           std::function<int()> doUnregister,
                                           RetrySchedule schedule)
    : m_what(std::move(what)),
      m_register(std::move(doRegister)),
      m_unregister(std::move(doUnregister)),
      m_schedule(schedule) {
    m_TryRegister();
}

PlatformRegistration::~PlatformRegistration() {
    if (m_timer != 0)
        MainLoopTimer::Remove(m_timer);
    if (m_registered) {
        int result = m_unregister();
        if (result != 0)
            LOGE("Failed to undo %s (error: %d)", m_what.c_str(), result);
    }
}

std::unique_ptr<PlatformRegistration> PlatformRegistration::WatchKey(const char* key,
                                                                     vconf_callback_fn callback,
                                                                     void* userData,
                                                                     RetrySchedule schedule) {
    std::string name = key;
    return std::make_unique<PlatformRegistration>(
        "watch " + name, [=] { return vconf_notify_key_changed(name.c_str(), callback, userData); },
        [=] { return vconf_ignore_key_changed(name.c_str(), callback); }, schedule);
}

void PlatformRegistration::m_TryRegister() {
    int result = m_register();
    if (result == 0) {
        m_registered = true;
        if (m_failures > 0)
            LOGE("Done: %s, after %d failed tries", m_what.c_str(), m_failures);
        return;
    }
    m_delay = m_failures == 0 ? m_schedule.firstMs : std::min(2 * m_delay, m_schedule.longestMs);
    ++m_failures;
    auto now = std::chrono::steady_clock::now();
    if (m_failures == 1 || now - m_lastLogged >= std::chrono::milliseconds(m_schedule.quietMs)) {
        m_lastLogged = now;
        LOGE("Failed to %s (error: %d); trying again in %u ms", m_what.c_str(), result, m_delay);
    }
    m_timer = MainLoopTimer::Add(m_delay, m_OnRetryTimer, this);
}

void PlatformRegistration::m_OnRetryTimer(void* self) try {
    auto* registration = static_cast<PlatformRegistration*>(self);
    // This source ends here; a failing try adds the next one.
    registration->m_timer = 0;
    registration->m_TryRegister();
} catch (...) {
    LOG_ESCAPED_EXCEPTION();
}
