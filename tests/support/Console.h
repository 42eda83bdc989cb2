// What a QA engineer does to the running service with tvctl, and reads back from the journals.
#pragma once

#include <functional>
#include <string>
#include <vector>

class TestDevice;

constexpr const char* SERVICE_ID = "com.talvoro.tv.brenwick";

// tvctl launch of the service with EXTRA ("Key=Value ..."): a request from another application.
int LaunchService(const TestDevice& device, const std::string& extra);

// Ids of the posted notifications that have an event callback (the update notification, not the
// hidden test mode's), oldest first. A journal line being appended right now is left for the
// next call.
std::vector<int> UpdateNotificationIds(const TestDevice& device);

// Waits until more than `before` update notifications were posted, and gives the newest one's id;
// -1 when `timeoutMs` passed or `giveUp` held first.
int NewUpdateNotification(const TestDevice& device, size_t before, int timeoutMs,
                          const std::function<bool()>& giveUp = nullptr);

// tvctl store play OPTIONS, and the user presses "Update now" on its notification if one shows
// while the store plays; what the store printed, its story.
std::string PlayAndAccept(const TestDevice& device, const std::string& options);

// Sets the int KEY one higher than it is (absent counts as 0).
void BumpCounter(const TestDevice& device, const std::string& key);
// The portal is reset: its reset count goes up by one and its state turns 1, so the service
// finds a reset and wipes its data.
void PortalReset(const TestDevice& device);
