// The service's platform helpers against the host device: what reaches the launch journal, the
// log and the files.
#include <gtest/gtest.h>
#include <vconf.h>

#include <sstream>
#include <stdexcept>
#include <string>

#include "AppControlUtil.h"
#include "Constants.h"
#include "FileUtil.h"
#include "HostCore.h"
#include "TestDevice.h"
#include "VconfUtil.h"

namespace {

// The launch's extra data in order, as "key=value;...".
std::string ExtraOf(const Json::Value& launch) {
    std::string extra;
    for (const auto& pair : launch["extra"])
        extra += pair[0].asString() + "=" + pair[1].asString() + ";";
    return extra;
}

// "CALL RESULT TIMES ...", as in the device's fault rules.
void AddFaults(const std::string& rules) {
    std::istringstream parts(rules);
    std::string call, result, times;
    while (parts >> call >> result >> times) {
        ASSERT_TRUE(tvhost::FaultAdd(call, result, times)) << rules;
    }
}

// A faulted destroy still destroys: a rule "app_control_destroy 0 1" is used up by the release.
bool Released(const TestDevice& device) {
    return device.Read("faults").find("app_control_destroy") == std::string::npos;
}

TEST(SendAppControlTest, ExtraDataGoInKeyOrderFollowedByCallerAndRefusalsAreLogged) {
    const std::string caller = std::string("Caller=") + BRENWICK_APP_ID + ";";
    struct Case {
        ExtraDataMap extra;
        const char* appId;
        std::string journaled;
    };
    const Case cases[] = {
        {{}, HOME_UPDATE_VIEW_APP_ID, caller},
        {{{"text", "hi"}, {"type", "toast"}, {"app_name", "x"}},
         HOME_UPDATE_VIEW_APP_ID,
         "app_name=x;text=hi;type=toast;" + caller},
        {{}, "com.talvoro.tv.notinstalled", caller},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.journaled);
        TestDevice device;
        AddFaults("app_control_destroy 0 1");

        AppControlUtil::SendAppControl(c.appId, c.extra, "Failed to launch homeupdateview");

        auto launches = device.Journal("launch.jsonl");
        ASSERT_EQ(1u, launches.size());
        EXPECT_EQ(c.appId, launches[0]["app_id"].asString());
        EXPECT_EQ(APPCTL_OPERATION_DEFAULT, launches[0]["operation"].asString());
        EXPECT_EQ(c.journaled, ExtraOf(launches[0]));
        bool refused = c.appId != std::string(HOME_UPDATE_VIEW_APP_ID);
        EXPECT_EQ(refused ? 1 : 0, device.LogCount("Failed to launch homeupdateview"));
        EXPECT_EQ(refused, device.LogHas("homeupdateview (error code: " +
                                         std::to_string(APPCTL_ERR_APP_NOT_FOUND) + ")"));
        EXPECT_TRUE(Released(device));
    }
}

TEST(SendAppControlTest, AFailingStepStopsTheRequestAndReleasesTheHandle) {
    struct Case {
        const char* faults;
        const char* logged;
        int added;  // extra data entries tried before the stop
        bool released;
    };
    const Case cases[] = {
        {"app_control_create -12 1", "Failed to create app control (error code: -12)", 0, false},
        {"app_control_set_app_id -22 1", "failed to set app id (error code: -22)", 0, true},
        {"app_control_set_operation -22 1", "failed to set operation (error code: -22)", 0, true},
        {"app_control_add_extra_data 0 1 app_control_add_extra_data -22 1",
         "failed to set extra data (error code: -22)", 2, true},
        {"app_control_add_extra_data 0 3 app_control_add_extra_data -22 1",
         "failed to set common extra data (error code: -22)", 3, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        TestDevice device;
        AddFaults(std::string(c.faults) + " app_control_destroy 0 1");

        AppControlUtil::SendAppControl(HOME_UPDATE_VIEW_APP_ID,
                                       {{"a", "1"}, {"b", "2"}, {"c", "3"}}, "x");

        EXPECT_TRUE(device.LogHas(c.logged));
        EXPECT_EQ(c.added, device.LogCount("app_control_add_extra_data: "));
        EXPECT_TRUE(device.Journal("launch.jsonl").empty());
        EXPECT_EQ(c.released, Released(device));
    }
}

TEST(FileUtilTest, ReadFileAndLoadJsonFailQuietlyOrWithTheirLine) {
    TestDevice device;
    const std::string dir = device.FsPath(DATA_DIR);
    std::string content = "stale";

    const std::string logBefore = device.Log();
    EXPECT_FALSE(FileUtil::ReadFile(dir + "missing", content));
    EXPECT_EQ(logBefore, device.Log()) << "a missing file is not worth a log line";

    device.Write("fs" + std::string(DATA_DIR) + "empty", "");
    EXPECT_TRUE(FileUtil::ReadFile(dir + "empty", content));
    EXPECT_EQ("", content);

    Json::Value value;
    device.Write("fs" + std::string(DATA_DIR) + "bad.json", "{\"k\": ");
    EXPECT_FALSE(FileUtil::LoadJson(dir + "bad.json", value));
    EXPECT_TRUE(device.LogHas("Failed to parse json string: "));
    EXPECT_FALSE(FileUtil::LoadJson(dir + "absent.json", value));
    EXPECT_TRUE(device.LogHas("Failed to load file " + dir + "absent.json"));
}

TEST(VconfUtilTest, AbsentOrNonStringKeysThrowAndEmptyStringsAreValues) {
    // Key file content (nullptr: absent) and the value read (nullptr: the read throws).
    const std::pair<const char*, const char*> cases[] = {
        {nullptr, nullptr}, {"i:3", nullptr}, {"s:", ""}, {"s:en_US", "en_US"}};
    TestDevice device;
    const char* key = "db/test/value";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first ? c.first : "absent");
        device.Remove(std::string("kdb/") + key);
        if (c.first)
            device.Write(std::string("kdb/") + key, c.first);
        if (c.second) {
            EXPECT_EQ(c.second, VconfUtil::GetVconfStr(key));
        } else {
            EXPECT_THROW(VconfUtil::GetVconfStr(key), std::logic_error);
        }
    }
}

}  // namespace
