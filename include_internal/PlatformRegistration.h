// A registration with the platform (a settings-key watch, an event subscription) that is tried
// again on a timer while the platform refuses it: one refusal at start must not deafen the
// service for good. The timer exists only while the registration fails, so a registered service
// has no idle wake-ups.
#pragma once

#include <vconf.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

// When the tries after a refusal come, and how often a refusal that lasts is told in the log.
struct RetrySchedule {
    // Quick after a passing refusal; the wait doubles from the first to the longest.
    unsigned firstMs = 1000;
    unsigned longestMs = 60 * 1000;
    // A platform that refuses for good must not fill the log: between the first failure and the
    // success, a line at most this often.
    unsigned quietMs = 60 * 60 * 1000;
};

class PlatformRegistration {
  public:
    // Both calls return the platform's code, 0 for success. `what` names the registration in the
    // log ("watch KEY").
    PlatformRegistration(std::string what, std::function<int()> doRegister,
                         std::function<int()> doUnregister, RetrySchedule schedule = {});
    // Withdraws the registration when it was made, or stops trying.
    ~PlatformRegistration();
    PlatformRegistration(const PlatformRegistration&) = delete;
    PlatformRegistration& operator=(const PlatformRegistration&) = delete;

    bool IsRegistered() const { return m_registered; }

    // The watch of one settings key by `callback` with `userData`.
    static std::unique_ptr<PlatformRegistration> WatchKey(const char* key,
                                                          vconf_callback_fn callback,
                                                          void* userData,
                                                          RetrySchedule schedule = {});

  private:
    void m_TryRegister();
    static void m_OnRetryTimer(void* self);

    std::string m_what;
    std::function<int()> m_register;
    std::function<int()> m_unregister;
    RetrySchedule m_schedule;
    bool m_registered = false;
    int m_failures = 0;
    unsigned m_delay = 0;                                // ms before the next try, while failing
    std::chrono::steady_clock::time_point m_lastLogged;  // of the last failure told
    unsigned m_timer = 0;
};
