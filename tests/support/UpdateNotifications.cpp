#include "UpdateNotifications.h"

#include <stdexcept>

#include "TestDevice.h"

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
