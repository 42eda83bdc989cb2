#include <vconf.h>

#include <filesystem>

#include "ChildProcess.h"
#include "Constants.h"
#include "HomeResetManager.h"
#include "PlatformKeys.h"
#include "TestDevice.h"

namespace fs = std::filesystem;

namespace {

const std::string RESET_FLAG = "fs/opt/usr/home/owner/share/.preload_home_pkg";
const std::string TRACKER = std::string("fs") + TRUSTED_DIR + ".home_version_tracker";
const std::string ABTEST = std::string("fs") + TRUSTED_DIR + ABTEST_FILE;

// Only the exact word "start" asks for a Home reset.
TEST(HomeResetManagerTest, OtherValuesOnlyLogTheValue) {
    TestDevice device;
    Singleton<HomeResetManager>::GetInstance()->Init();
    for (std::string value : {"Start", "start ", "restart"}) {
        vconf_set_str(keys::HOME_RESET_STATUS, value.c_str());
        ASSERT_TRUE(device.Settle());
        EXPECT_NE(std::string::npos, device.Log().find("changedValue : " + value + "\n"));
    }
    EXPECT_FALSE(device.LogHas("request home reset mode"));
    EXPECT_FALSE(device.Exists(RESET_FLAG));
    EXPECT_EQ("s:restart", device.Key(keys::HOME_RESET_STATUS));
    Singleton<HomeResetManager>::DestoryInstance();
}

TEST(HomeResetManagerTest, ServiceCarriesOutTheRequest) {
    struct {
        const char* name;
        const char* trackerBefore;  // null: no tracking file; "/": a folder in its place;
                                    // "link": its folder a link to one beside it
        const char* flagBefore;     // null: no Home reset flag file
        const char* setup;          // tvctl arguments run before the service starts, or null
        const char* trackerAfter;   // "": no tracking file
        const char* flagAfter;
        const char* reboots;  // power journal as "CODE:RESULT;" per request
    } cases[] = {
        {"first reset", nullptr, nullptr, nullptr, "1.0.0\n", "", "14:0;"},
        {"appended", "0.9.0\n", nullptr, nullptr, "0.9.0\n1.0.0\n", "", "14:0;"},
        {"tracked inside", "1.0.0.7\n", nullptr, nullptr, "1.0.0.7\n", "", "14:0;"},
        {"flag there", nullptr, "pending", nullptr, "", "pending", ""},
        {"tracker cannot be written", "/", nullptr, nullptr, "", "", ""},
        {"tracker folder a link", "link", nullptr, nullptr, "", "", ""},
        {"no package", nullptr, nullptr, "pkg rm com.talvoro.tv.zefo.homeversion", "", "", ""},
        // The package manager answering without the package's information or its version.
        {"no package info given", nullptr, nullptr, "fault add package_manager_get_package_info 0",
         "", "", ""},
        {"no version given", nullptr, nullptr, "fault add package_info_get_version 0", "", "", ""},
        {"refused", nullptr, nullptr, "fault add device_power_request_reboot -1", "1.0.0\n", "",
         "14:-1;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestDevice device;
        // Counts as last seen, so the start-up reset check leaves the A/B flag alone.
        device.Write(std::string("fs") + TRUSTED_DIR + ".resetflag", "0\n0\n0\n");
        device.Write(ABTEST, "{}");
        bool trackerFolder = c.trackerBefore && std::string(c.trackerBefore) == "/";
        bool trustedLink = c.trackerBefore && std::string(c.trackerBefore) == "link";
        if (trustedLink) {
            std::string trusted = device.Path(std::string("fs") + TRUSTED_DIR);
            trusted.pop_back();
            fs::rename(trusted, trusted + ".real");
            fs::create_directory_symlink(fs::path(trusted).filename().string() + ".real", trusted);
        } else if (c.trackerBefore) {
            device.Write(trackerFolder ? TRACKER + "/1.0.0" : TRACKER, c.trackerBefore);
        }
        if (c.flagBefore)
            device.Write(RESET_FLAG, c.flagBefore);
        if (c.setup) {
            ASSERT_EQ(0, device.Tvctl(c.setup));
        }
        ServiceProcess service(device);
        ASSERT_TRUE(service.Start());

        ASSERT_EQ(0, device.Tvctl("set db/home/reset_status start"));
        bool rebooted = std::string(c.reboots) == "14:0;";
        if (rebooted) {
            EXPECT_EQ(0, service.WaitExit());
            EXPECT_EQ("s:done", device.Key(keys::HOME_RESET_STATUS));
        } else {
            ASSERT_TRUE(RunLoopUntil([&] { return device.LogHas("changedValue : none"); }, 5000));
            EXPECT_EQ("s:none", device.Key(keys::HOME_RESET_STATUS));
            EXPECT_EQ(0, service.Stop());
        }
        std::string reboots;
        for (const Json::Value& entry : device.Journal("power.jsonl"))
            reboots += entry["code"].asString() + ":" + entry["result"].asString() + ";";
        EXPECT_EQ(c.reboots, reboots);
        if (!trackerFolder) {
            EXPECT_EQ(c.trackerAfter, device.Read(TRACKER));
        }
        EXPECT_EQ(c.flagAfter, device.Read(RESET_FLAG));
        EXPECT_TRUE(device.Exists(RESET_FLAG));
        EXPECT_EQ(std::string(c.reboots).empty(), device.Exists(ABTEST));
        // A refused reboot turns the "done" written just before the request into "none".
        if (std::string(c.reboots) == "14:-1;") {
            EXPECT_LT(device.LogLineOf("reboot for HomeReset"),
                      device.LogLineOf("Failed to reboot device"));
        }
    }
}

}  // namespace
