// The host's device power: power-state changes from the console reach subscribed callbacks on
// the loop; a reboot request is journaled and, when accepted, ends the application.
#include <glib.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "HostCore.h"
#include "TestDevice.h"
#include "device_power.h"
#include "service_app.h"

namespace {

constexpr const char* APP = "com.test.power";

struct Seen {
    int previous;
    int next;
    void* userData;
};
std::vector<Seen> g_first;
std::vector<Seen> g_second;

int OnFirst(device_power_state_info* info, void* userData) {
    EXPECT_GT(info->timestamp_ms, 0);
    g_first.push_back({info->previous_state, info->new_state, userData});
    return 0;
}

int OnSecond(device_power_state_info* info, void* userData) {
    g_second.push_back({info->previous_state, info->new_state, userData});
    return 0;
}

TEST(PowerHost, ChangesReachEverySubscribedCallbackUntilUnsubscribed) {
    TestDevice device;
    tvhost::SetSelfAppId(APP);
    ASSERT_EQ(tvhost::ServeApp(APP), 0);
    std::string output;
    EXPECT_EQ(device.Tvctl("power 1 2", &output), 1) << output;  // running, not subscribed

    int marker = 0;
    ASSERT_EQ(device_power_subscribe_state_changed_event(OnFirst, &marker), DEVICE_POWER_OK);
    ASSERT_EQ(device_power_subscribe_state_changed_event(OnSecond, nullptr), DEVICE_POWER_OK);
    EXPECT_EQ(device.Tvctl("power 1 3", &output), 0) << output;
    EXPECT_NE(output.find(APP), std::string::npos) << output;
    ASSERT_TRUE(RunLoopUntil([] { return !g_first.empty() && !g_second.empty(); }));
    ASSERT_EQ(g_first.size(), 1u);
    EXPECT_EQ(g_first[0].previous, 1);
    EXPECT_EQ(g_first[0].next, 3);
    EXPECT_EQ(g_first[0].userData, &marker);
    EXPECT_EQ(g_second.size(), 1u);

    ASSERT_EQ(device_power_unsubscribe_state_changed_event(OnSecond), DEVICE_POWER_OK);
    EXPECT_EQ(device.Tvctl("power 3 1", &output), 0) << output;
    ASSERT_TRUE(RunLoopUntil([] { return g_first.size() == 2; }));
    EXPECT_EQ(g_first[1].previous, 3);
    EXPECT_EQ(g_first[1].next, 1);
    RunLoopFor(100);
    EXPECT_EQ(g_second.size(), 1u);

    ASSERT_EQ(device_power_unsubscribe_state_changed_event(OnFirst), DEVICE_POWER_OK);
    EXPECT_FALSE(device.Exists(std::string("run/") + APP + ".power"));
    EXPECT_EQ(device.Tvctl("power 1 2", &output), 1) << output;
    EXPECT_EQ(device.Tvctl("power one 2", &output), 2) << output;
    tvhost::StopServing();
}

// A reboot asked for from the create callback, under service_app_main; a timer ends the
// application after a while if the reboot did not.
struct RebootRun {
    int result = 99;
    bool returnedBeforeTerminate = false;
    bool endedByTimer = false;
    bool requestReturned = false;
    guint timer = 0;
};

gboolean EndByTimer(gpointer data) {
    auto* run = static_cast<RebootRun*>(data);
    run->endedByTimer = true;
    run->timer = 0;
    service_app_exit();
    return G_SOURCE_REMOVE;
}

bool OnCreate(void* data) {
    auto* run = static_cast<RebootRun*>(data);
    run->timer = g_timeout_add(1500, EndByTimer, run);
    run->result = device_power_request_reboot(14);
    run->requestReturned = true;
    return true;
}

void OnTerminate(void* data) {
    auto* run = static_cast<RebootRun*>(data);
    run->returnedBeforeTerminate = run->requestReturned;
    if (run->timer)
        g_source_remove(run->timer);
}

struct RebootCase {
    const char* fault;  // "" for none
    int result;
    bool ends;
};

void PrintTo(const RebootCase& c, std::ostream* os) {
    *os << (*c.fault ? c.fault : "no fault");
}

class Reboot : public ::testing::TestWithParam<RebootCase> {};

TEST_P(Reboot, IsJournaledAndEndsTheApplicationWhenAccepted) {
    TestDevice device;
    if (*GetParam().fault) {
        ASSERT_EQ(device.Tvctl(std::string("fault add ") + GetParam().fault), 0);
    }
    setenv("TV_APP_ID", APP, 1);
    RebootRun run;
    service_app_lifecycle_callback_s callbacks{OnCreate, OnTerminate, nullptr};
    EXPECT_EQ(service_app_main(0, nullptr, &callbacks, &run), 0);
    unsetenv("TV_APP_ID");

    EXPECT_EQ(run.result, GetParam().result);
    EXPECT_TRUE(run.returnedBeforeTerminate);
    EXPECT_EQ(run.endedByTimer, !GetParam().ends);
    auto lines = device.Journal("power.jsonl");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["call"], "reboot");
    EXPECT_EQ(lines[0]["caller"], APP);
    EXPECT_EQ(lines[0]["code"], 14);
    EXPECT_EQ(lines[0]["result"], GetParam().result);
    std::string output;
    EXPECT_EQ(device.Tvctl("reboots", &output), 0);
    EXPECT_NE(output.find("\"code\":14"), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(Cases, Reboot,
                         ::testing::Values(RebootCase{"", 0, true},
                                           RebootCase{"device_power_request_reboot -1", -1,
                                                      false}));

}  // namespace
