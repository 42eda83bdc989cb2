// The host's device power: power-state changes from the console reach subscribed callbacks on
// the loop; a reboot request is journaled and, when accepted, ends the application.
#include <glib.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "HostCore.h"
#include "TestDevice.h"
#include "device_power.h"
#include "service_app.h"

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

// A reboot asked for from the create callback, under service_app_main; a timer ends the
// application after a while if the reboot did not.
struct RebootRun {
    int result = 99;
    bool endedByTimer = false;
    bool terminatedAfterRequest = false;
};

gboolean EndByTimer(gpointer data) {
    static_cast<RebootRun*>(data)->endedByTimer = true;
    service_app_exit();
    return G_SOURCE_REMOVE;
}

bool OnCreate(void* data) {
    auto* run = static_cast<RebootRun*>(data);
    g_timeout_add(1500, EndByTimer, run);
    run->result = device_power_request_reboot(14);
    return true;
}

void OnTerminate(void* data) {
    auto* run = static_cast<RebootRun*>(data);
    run->terminatedAfterRequest = run->result != 99;
}

TEST(PowerHost, RebootIsJournaledAndEndsTheApplicationWhenAccepted) {
    for (const char* fault : {"", "device_power_request_reboot -1"}) {
        SCOPED_TRACE(fault);
        TestDevice device;
        device.Write("faults", fault);
        setenv("TV_APP_ID", APP, 1);
        RebootRun run;
        service_app_lifecycle_callback_s callbacks{OnCreate, OnTerminate, nullptr};
        EXPECT_EQ(service_app_main(0, nullptr, &callbacks, &run), 0);
        unsetenv("TV_APP_ID");
        g_source_remove_by_user_data(&run);

        const int result = *fault ? -1 : 0;
        EXPECT_EQ(run.result, result);
        EXPECT_EQ(run.endedByTimer, result != 0);
        EXPECT_TRUE(run.terminatedAfterRequest);
        std::string output;
        EXPECT_EQ(device.Tvctl("reboots", &output), 0);
        EXPECT_NE(output.find(R"("call":"reboot","caller":"com.test.power","code":14,"result":)" +
                              std::to_string(result)),
                  std::string::npos)
            << output;
    }
}

}  // namespace
