#include <gtest/gtest.h>
#include <vconf.h>

#include <string>

#include "Constants.h"
#include "HomeResetManager.h"
#include "PlatformKeys.h"
#include "ServiceProcess.h"
#include "TestDevice.h"

namespace {

const std::string RESET_FLAG = "fs/opt/usr/home/owner/share/.preload_home_pkg";
const std::string TRACKER = std::string("fs") + TRUSTED_DIR + ".home_version_tracker";
const std::string RESET_FLAG_OF_RESET_CHECK = std::string("fs") + TRUSTED_DIR + ".resetflag";
const std::string ABTEST = std::string("fs") + TRUSTED_DIR + ABTEST_FILE;

struct Reboots {
    int requested = 0;
    int accepted = 0;
};

Reboots RebootsOf(const TestDevice& device) {
    Reboots reboots;
    for (const Json::Value& entry : device.Journal("power.jsonl")) {
        if (entry["call"].asString() != "reboot")
            continue;
        EXPECT_EQ(14, entry["code"].asInt());
        EXPECT_EQ(BRENWICK_APP_ID, entry["caller"].asString());
        ++reboots.requested;
        if (entry["result"].asInt() == 0)
            ++reboots.accepted;
    }
    return reboots;
}

// Only the exact word "start" asks for a Home reset.
class IgnoredResetStatusTest : public ::testing::TestWithParam<const char*> {};

TEST_P(IgnoredResetStatusTest, OnlyLogsTheValue) {
    std::string value = GetParam();
    TestDevice device;
    HomeResetManager* manager = Singleton<HomeResetManager>::GetInstance();
    manager->Init();

    vconf_set_str(keys::HOME_RESET_STATUS, value.c_str());
    ASSERT_TRUE(RunLoopUntil(
        [&] { return device.Log().find("changedValue : " + value + "\n") != std::string::npos; }));
    RunLoopFor(100);

    EXPECT_FALSE(device.LogHas("request home reset mode"));
    EXPECT_FALSE(device.Exists(RESET_FLAG));
    EXPECT_FALSE(device.Exists(TRACKER));
    EXPECT_EQ("s:" + value, device.Key(keys::HOME_RESET_STATUS));
    Singleton<HomeResetManager>::DestoryInstance();
}

INSTANTIATE_TEST_SUITE_P(Values, IgnoredResetStatusTest,
                         ::testing::Values("Start", "start ", "restart", "done"));

// Home reset through the running service.
struct HomeResetCase {
    const char* name;
    const char* trackerBefore;  // null: no tracking file
    const char* flagBefore;     // null: no Home reset flag file
    const char* setup;          // tvctl arguments run before the request, or null
    const char* trackerAfter;   // null: no tracking file
    const char* flagAfter;      // null: no Home reset flag file
    bool requestsReboot;        // got as far as asking for the reboot (A/B flag removed, "done")
    bool reboots;               // the reboot was accepted and the service ended
    const char* failureLog;     // null when the request succeeds
};

class HomeResetServiceTest : public ::testing::TestWithParam<HomeResetCase> {};

TEST_P(HomeResetServiceTest, CarriesOutTheRequest) {
    const HomeResetCase& c = GetParam();
    TestDevice device;
    // Counts as last seen, so the start-up reset check leaves the A/B flag alone.
    device.Write(RESET_FLAG_OF_RESET_CHECK, "0\n0\n0\n");
    if (c.trackerBefore)
        device.Write(TRACKER, c.trackerBefore);
    if (c.flagBefore)
        device.Write(RESET_FLAG, c.flagBefore);
    device.Write(ABTEST, "{\"group\":\"abtest\"}");
    if (c.setup) {
        ASSERT_EQ(0, device.Tvctl(c.setup));
    }
    ServiceProcess service(device);
    ASSERT_TRUE(service.Start());
    // Start() returns once the create callback has begun; the watch is in place only after this.
    ASSERT_TRUE(RunLoopUntil([&] { return device.LogHas("HomeResetManager.cpp: Init("); }));

    ASSERT_EQ(0, device.Tvctl("set db/home/reset_status start"));
    if (c.reboots) {
        EXPECT_EQ(0, service.WaitExit());
        EXPECT_EQ("s:done", device.Key(keys::HOME_RESET_STATUS));
    } else {
        ASSERT_TRUE(RunLoopUntil([&] { return device.LogHas("changedValue : none"); }, 5000));
        EXPECT_TRUE(device.LogHas(c.failureLog));
        EXPECT_EQ("s:none", device.Key(keys::HOME_RESET_STATUS));
        EXPECT_EQ(0, service.Stop());
    }

    Reboots reboots = RebootsOf(device);
    EXPECT_EQ(c.requestsReboot ? 1 : 0, reboots.requested);
    EXPECT_EQ(c.reboots ? 1 : 0, reboots.accepted);
    EXPECT_EQ(c.trackerAfter != nullptr, device.Exists(TRACKER));
    if (c.trackerAfter) {
        EXPECT_EQ(c.trackerAfter, device.Read(TRACKER));
    }
    EXPECT_EQ(c.flagAfter != nullptr, device.Exists(RESET_FLAG));
    if (c.flagAfter) {
        EXPECT_EQ(c.flagAfter, device.Read(RESET_FLAG));
    }
    EXPECT_EQ(!c.requestsReboot, device.Exists(ABTEST));
    int rebootLine = device.LogLineOf("reboot for HomeReset");
    EXPECT_EQ(c.requestsReboot, rebootLine >= 0);
    // A refused reboot turns the "done" written just before the request into "none".
    if (c.requestsReboot && !c.reboots) {
        EXPECT_LT(rebootLine, device.LogLineOf("Failed to reboot device"));
    }
}

const HomeResetCase kHomeResetCases[] = {
    {"FirstReset", nullptr, nullptr, nullptr, "1.0.0\n", "", true, true, nullptr},
    {"VersionAlreadyTracked", "0.9.0\n1.0.0\n", nullptr, nullptr, "0.9.0\n1.0.0\n", "", true, true,
     nullptr},
    {"VersionInsideATrackedOne", "1.0.0.7\n", nullptr, nullptr, "1.0.0.7\n", "", true, true,
     nullptr},
    {"TrackerWithoutFinalLineFeed", "0.9.0", nullptr, nullptr, "0.9.01.0.0\n", "", true, true,
     nullptr},
    {"FlagAlreadyThere", nullptr, "pending", nullptr, nullptr, "pending", false, false,
     "Failed to create file"},
    {"MissingHomePackage", nullptr, nullptr, "pkg rm com.talvoro.tv.zefo.homeversion", nullptr, "",
     false, false, "failed to get package info"},
    {"RebootRefused", nullptr, nullptr, "fault add device_power_request_reboot -1", "1.0.0\n", "",
     true, false, "Failed to reboot device"},
};

INSTANTIATE_TEST_SUITE_P(Cases, HomeResetServiceTest, ::testing::ValuesIn(kHomeResetCases),
                         [](const ::testing::TestParamInfo<HomeResetCase>& info) {
                             return info.param.name;
                         });

}  // namespace
