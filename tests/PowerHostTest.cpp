// The host's device power: power-state changes from the console reach every subscribed callback
// on the loop. A reboot request is exercised through the running service (home reset tests).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HostCore.h"
#include "TestDevice.h"
#include "device_power.h"

namespace {

constexpr const char* APP = "com.test.power";

// "CALLBACK:PREVIOUS>NEW" of every change seen.
std::vector<std::string> g_seen;

int Record(const char* callback, const device_power_state_info* info) {
    EXPECT_GT(info->timestamp_ms, 0);
    g_seen.push_back(callback + std::to_string(info->previous_state) + ">" +
                     std::to_string(info->new_state));
    return 0;
}

int OnFirst(device_power_state_info* info, void* userData) {
    EXPECT_EQ(userData, &g_seen);
    return Record("1:", info);
}

int OnSecond(device_power_state_info* info, void*) {
    return Record("2:", info);
}

TEST(PowerHost, ChangesReachEverySubscribedCallbackUntilUnsubscribed) {
    TestDevice device;
    tvhost::SetSelfAppId(APP);
    ASSERT_EQ(tvhost::ServeApp(APP), 0);
    ASSERT_EQ(device_power_subscribe_state_changed_event(OnFirst, &g_seen), DEVICE_POWER_OK);
    ASSERT_EQ(device_power_subscribe_state_changed_event(OnSecond, nullptr), DEVICE_POWER_OK);
    EXPECT_EQ(device.Tvctl("power 1 3"), 0);
    ASSERT_TRUE(RunLoopUntil([] { return g_seen.size() == 2; }));
    ASSERT_EQ(device_power_unsubscribe_state_changed_event(OnSecond), DEVICE_POWER_OK);
    EXPECT_EQ(device.Tvctl("power 3 1"), 0);
    ASSERT_TRUE(RunLoopUntil([] { return g_seen.size() == 3; }));
    RunLoopFor(100);
    EXPECT_EQ(g_seen, (std::vector<std::string>{"1:1>3", "2:1>3", "1:3>1"}));

    ASSERT_EQ(device_power_unsubscribe_state_changed_event(OnFirst), DEVICE_POWER_OK);
    EXPECT_EQ(device.Tvctl("power 1 2"), 1);  // running, but no longer subscribed
    tvhost::StopServing();
}

}  // namespace
