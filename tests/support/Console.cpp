#include "Console.h"

#include <stdexcept>

#include "ChildProcess.h"
#include "TestDevice.h"

int LaunchService(const TestDevice& device, const std::string& extra) {
    return device.Tvctl(std::string("launch ") + SERVICE_ID + " " + extra);
}

std::vector<int> UpdateNotificationIds(const TestDevice& device) {
    std::vector<int> ids;
    try {
        for (const auto& entry : device.Journal("notification.jsonl")) {
            if (entry["op"] == "post" && entry["event_cb"] == true)
                ids.push_back(entry["id"].asInt());
        }
    } catch (const std::runtime_error&) {
        return {};
    }
    return ids;
}

int NewUpdateNotification(const TestDevice& device, size_t before, int timeoutMs,
                          const std::function<bool()>& giveUp) {
    int id = -1;
    WaitUntil(
        [&] {
            std::vector<int> ids = UpdateNotificationIds(device);
            if (ids.size() > before)
                id = ids.back();
            return id >= 0 || (giveUp && giveUp());
        },
        timeoutMs);
    return id;
}

std::string PlayAndAccept(const TestDevice& device, const std::string& options) {
    size_t before = UpdateNotificationIds(device).size();
    BackgroundTvctl play(device, "store play " + options);
    int id = NewUpdateNotification(device, before, 20000, [&] { return !play.Running(); });
    if (id >= 0)
        device.Tvctl("press " + std::to_string(id) + " 2");
    play.Wait(30000);
    return play.Output();
}

void BumpCounter(const TestDevice& device, const std::string& key) {
    std::string value = device.Key(key);  // "i:N", or "" when absent
    int next = value.size() > 2 ? std::stoi(value.substr(2)) + 1 : 1;
    device.Tvctl("set -t int " + key + " " + std::to_string(next));
}

void PortalReset(const TestDevice& device) {
    BumpCounter(device, "db/lumaport/reset_count");
    device.Tvctl("set -t int memory/kesh/lumaport_reset_state 1");
}
