// The update notifications the service posted, as the user sees them in the journal.
#pragma once

#include <vector>

class TestDevice;

// Ids of the posted notifications that have an event callback (the update notification, not the
// hidden test mode's), oldest first. A journal line being appended right now is left for the
// next call.
std::vector<int> UpdateNotificationIds(const TestDevice& device);
