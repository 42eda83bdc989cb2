// Device power on the host. Reboot requests are journaled in log/power.jsonl; an accepted one
// ends the application as the television's restart would. Power-state changes come from
// `tvctl power` as "power_state" messages; run/APPID.power tells it which running applications
// have subscribers.
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "HostCore.h"
#include "device_power.h"
#include "service_app.h"

namespace {

using Subscription = std::pair<device_power_state_changed_cb, void*>;

std::mutex g_subscriptionsMutex;
std::vector<Subscription>& Subscriptions() {
    static auto* subscriptions = new std::vector<Subscription>();
    return *subscriptions;
}

std::string PowerFile() {
    return tvhost::RootPath("run/" + tvhost::SelfAppId() + ".power");
}

// The file names this process, so that a subscriber that died leaves nothing `tvctl power`
// would count.
void UpdatePowerFile(size_t subscribers) {
    if (subscribers == 0) {
        unlink(PowerFile().c_str());
        return;
    }
    tvhost::MakeDirs(tvhost::RootPath("run"));
    tvhost::WriteFileAtomic(PowerFile(), std::to_string(getpid()) + "\n");
}

void OnPowerStateMessage(const Json::Value& message) {
    if (!message["previous"].isInt() || !message["new"].isInt())
        return;
    std::vector<Subscription> subscribers;
    {
        std::lock_guard<std::mutex> lock(g_subscriptionsMutex);
        subscribers = Subscriptions();  // a callback may unsubscribe
    }
    for (const auto& subscriber : subscribers) {
        device_power_state_info info{};
        info.timestamp_ms = tvhost::NowMs();
        info.previous_state = message["previous"].asInt();
        info.new_state = message["new"].asInt();
        subscriber.first(&info, subscriber.second);
    }
}

// The reboot is asked for from inside a handler (a settings-key callback); the application
// ends only after that handler has returned.
gboolean TerminateForReboot(gpointer) {
    service_app_exit();
    return G_SOURCE_REMOVE;
}

}  // namespace

extern "C" {

int device_power_subscribe_state_changed_event(device_power_state_changed_cb cb, void* user_data) {
    int result = 0;
    if (tvhost::FaultHit("device_power_subscribe_state_changed_event", &result))
        return result;
    if (!cb)
        return DEVICE_POWER_ERR;
    size_t count = 0;
    {
        std::lock_guard<std::mutex> lock(g_subscriptionsMutex);
        Subscriptions().emplace_back(cb, user_data);
        count = Subscriptions().size();
    }
    tvhost::SetMessageHandler("power_state", OnPowerStateMessage);
    UpdatePowerFile(count);
    return DEVICE_POWER_OK;
}

int device_power_unsubscribe_state_changed_event(device_power_state_changed_cb cb) {
    int result = 0;
    if (tvhost::FaultHit("device_power_unsubscribe_state_changed_event", &result))
        return result;
    size_t count = 0;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(g_subscriptionsMutex);
        auto& subscriptions = Subscriptions();
        auto end = std::remove_if(subscriptions.begin(), subscriptions.end(),
                                  [cb](const Subscription& s) { return s.first == cb; });
        found = end != subscriptions.end();
        subscriptions.erase(end, subscriptions.end());
        count = subscriptions.size();
    }
    if (!found)
        return DEVICE_POWER_ERR;
    UpdatePowerFile(count);
    return DEVICE_POWER_OK;
}

int device_power_request_reboot(int code) {
    int result = 0;
    bool faulted = tvhost::FaultHit("device_power_request_reboot", &result);
    tvhost::JournalAppend(
        "power.jsonl",
        {{"call", "reboot"}, {"caller", tvhost::SelfAppId()}, {"code", code}, {"result", result}});
    if (!faulted)
        g_idle_add(TerminateForReboot, nullptr);
    return result;
}

}  // extern "C"
