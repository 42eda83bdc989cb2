// The service's platform helpers against the host device: what reaches the launch journal, the
// log and the files.
#include <gtest/gtest.h>
#include <vconf.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "AppControlUtil.h"
#include "Constants.h"
#include "FileUtil.h"
#include "HostCore.h"
#include "TestDevice.h"
#include "VconfUtil.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs ExtraOf(const Json::Value& launch) {
    Pairs pairs;
    for (const auto& pair : launch["extra"])
        pairs.emplace_back(pair[0].asString(), pair[1].asString());
    return pairs;
}

// "CALL RESULT [TIMES]", as in the device's fault rules.
void AddFault(const std::string& rule) {
    std::istringstream parts(rule);
    std::string call, result, times;
    parts >> call >> result >> times;
    ASSERT_TRUE(tvhost::FaultAdd(call, result, times)) << rule;
}

// Counts the calls of a platform call through a fault rule that returns 0 and is used up by one
// per call. Only for calls whose faulted form still does its work (the destroy/free calls).
class CallCounter {
  public:
    CallCounter(const TestDevice& device, const std::string& call)
        : m_device(device), m_call(call) {
        AddFault(call + " 0 1000");
    }
    int Calls() const {
        std::string rules = m_device.Read("faults");
        size_t at = rules.find(m_call + " 0 ");
        if (at == std::string::npos)
            return 1000;
        return 1000 - std::stoi(rules.substr(at + m_call.size() + 3));
    }

  private:
    const TestDevice& m_device;
    std::string m_call;
};

TEST(SendAppControlTest, ExtraDataGoInKeyOrderFollowedByCallerAndFailuresAreLogged) {
    struct Case {
        const char* name;
        ExtraDataMap extra;
        bool installed;
        Pairs journaled;
        int result;
    };
    const Case cases[] = {
        {"empty map", {}, true, {{"Caller", BRENWICK_APP_ID}}, 0},
        {"three keys",
         {{"text", "hello"}, {"type", "toast"}, {"app_name", "x"}},
         true,
         {{"app_name", "x"}, {"text", "hello"}, {"type", "toast"}, {"Caller", BRENWICK_APP_ID}},
         0},
        {"not installed",
         {{"LaunchReason", "LoadingUI"}},
         false,
         {{"LaunchReason", "LoadingUI"}, {"Caller", BRENWICK_APP_ID}},
         APPCTL_ERR_APP_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestDevice device;
        if (!c.installed) {
            ASSERT_EQ(0, device.Tvctl(std::string("uninstall ") + HOME_UPDATE_VIEW_APP_ID));
        }
        CallCounter destroys(device, "app_control_destroy");

        AppControlUtil::SendAppControl(HOME_UPDATE_VIEW_APP_ID, c.extra,
                                       "Failed to launch homeupdateview");

        auto launches = device.Journal("launch.jsonl");
        ASSERT_EQ(1u, launches.size());
        EXPECT_EQ(HOME_UPDATE_VIEW_APP_ID, launches[0]["app_id"].asString());
        EXPECT_EQ(APPCTL_OPERATION_DEFAULT, launches[0]["operation"].asString());
        EXPECT_EQ(c.journaled, ExtraOf(launches[0]));
        EXPECT_EQ(c.result, launches[0]["result"].asInt());
        std::string failure =
            "Failed to launch homeupdateview (error code: " + std::to_string(c.result) + ")";
        EXPECT_EQ(c.result != 0, device.LogHas(failure));
        EXPECT_EQ(1, destroys.Calls());
    }
}

TEST(SendAppControlTest, AFailingStepStopsTheRequestAndReleasesTheHandle) {
    struct Case {
        std::vector<std::string> faults;
        std::string logged;
        int destroys;
    };
    const ExtraDataMap extra = {{"a", "1"}, {"b", "2"}, {"c", "3"}};
    const Case cases[] = {
        {{"app_control_create -12"}, "Failed to create app control (error code: -12)", 0},
        {{"app_control_set_app_id -22"}, "failed to set app id (error code: -22)", 1},
        {{"app_control_set_operation -22"}, "failed to set operation (error code: -22)", 1},
        // The first entry passes, the second fails: "c" and "Caller" are never added.
        {{"app_control_add_extra_data 0 1", "app_control_add_extra_data -22 1"},
         "failed to set extra data (error code: -22)",
         1},
        {{"app_control_add_extra_data 0 3", "app_control_add_extra_data -22 1"},
         "failed to set common extra data (error code: -22)",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        TestDevice device;
        for (const auto& fault : c.faults)
            AddFault(fault);
        CallCounter destroys(device, "app_control_destroy");

        AppControlUtil::SendAppControl(HOME_UPDATE_VIEW_APP_ID, extra,
                                       "Failed to launch homeupdateview");

        EXPECT_TRUE(device.LogHas(c.logged));
        EXPECT_TRUE(device.Journal("launch.jsonl").empty());
        EXPECT_EQ(c.destroys, destroys.Calls());
        EXPECT_FALSE(device.LogHas("Failed to launch homeupdateview"));
    }
    TestDevice device;
    AddFault("app_control_add_extra_data 0 1");
    AddFault("app_control_add_extra_data -22 1");
    AppControlUtil::SendAppControl(HOME_UPDATE_VIEW_APP_ID, extra, "x");
    EXPECT_TRUE(device.LogHas("app_control_add_extra_data: b, 2"));
    EXPECT_FALSE(device.LogHas("app_control_add_extra_data: c, 3"));
}

TEST(AppControlUtilTest, ReadingARequestLeavesEmptyStringsOnFailure) {
    TestDevice device;
    app_control_h request = nullptr;
    ASSERT_EQ(APPCTL_OK, app_control_create(&request));
    ASSERT_EQ(APPCTL_OK, app_control_add_extra_data(request, "LaunchReason", "DetailPopup"));

    std::string value = "stale";
    EXPECT_TRUE(AppControlUtil::GetExtraData(request, "LaunchReason", value));
    EXPECT_EQ("DetailPopup", value);
    EXPECT_TRUE(device.LogHas("Extra Data [LaunchReason] => DetailPopup"));

    EXPECT_FALSE(AppControlUtil::GetExtraData(request, "RequestStatus", value));
    EXPECT_EQ("", value);
    EXPECT_TRUE(device.LogHas(
        "failed to get extra data (error code: " + std::to_string(APPCTL_ERR_KEY_NOT_FOUND) + ")"));

    // A handle made here never travelled, so the platform knows no caller for it.
    std::string caller = "stale";
    EXPECT_FALSE(AppControlUtil::GetCallerApp(request, caller));
    EXPECT_EQ("", caller);
    EXPECT_TRUE(device.LogHas("failed to get caller (error code: "));
    app_control_destroy(request);
}

TEST(FileUtilTest, ReadWriteAndLoadJson) {
    TestDevice device;
    const std::string dir = device.FsPath(DATA_DIR);
    std::string content = "stale";

    size_t logSize = device.Log().size();
    EXPECT_FALSE(FileUtil::ReadFile(dir + "missing", content));
    EXPECT_EQ(logSize, device.Log().size()) << "a missing file is not worth a log line";

    device.Write("fs" + std::string(DATA_DIR) + "empty", "");
    EXPECT_TRUE(FileUtil::ReadFile(dir + "empty", content));
    EXPECT_EQ("", content);

    const std::string binary("3\n\0x", 4);
    EXPECT_TRUE(FileUtil::m_WriteStringToFile(dir + "written", binary));
    EXPECT_TRUE(FileUtil::m_WriteStringToFile(dir + "written", binary));  // replaces, not appends
    EXPECT_TRUE(FileUtil::ReadFile(dir + "written", content));
    EXPECT_EQ(binary, content);
    EXPECT_FALSE(device.Exists("fs" + std::string(DATA_DIR) + "written.tmp"));

    EXPECT_FALSE(FileUtil::m_WriteStringToFile(dir + "no/such/dir/file", "x"));
    EXPECT_TRUE(device.LogHas("Failed to open file for writing: " + dir + "no/such/dir/file"));

    Json::Value value;
    device.Write("fs" + std::string(DATA_DIR) + "good.json", R"({"k": "v"})");
    EXPECT_TRUE(FileUtil::LoadJson(dir + "good.json", value));
    EXPECT_EQ("v", value["k"].asString());

    device.Write("fs" + std::string(DATA_DIR) + "bad.json", "{\"k\": ");
    EXPECT_FALSE(FileUtil::LoadJson(dir + "bad.json", value));
    EXPECT_TRUE(device.LogHas("Failed to parse json string: "));

    EXPECT_FALSE(FileUtil::LoadJson(dir + "absent.json", value));
    EXPECT_TRUE(device.LogHas("Failed to load file " + dir + "absent.json"));
}

TEST(VconfUtilTest, AbsentOrNonStringKeysThrowAndEmptyStringsAreValues) {
    struct Case {
        const char* stored;  // key file content, nullptr for an absent key
        bool throws;
        const char* value;
    };
    const Case cases[] = {
        {nullptr, true, ""},
        {"i:3", true, ""},
        {"s:", false, ""},
        {"s:en_US.UTF-8", false, "en_US.UTF-8"},
    };
    TestDevice device;
    const char* key = "db/test/value";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "absent");
        device.Remove(std::string("kdb/") + key);
        if (c.stored)
            device.Write(std::string("kdb/") + key, c.stored);
        if (c.throws) {
            EXPECT_THROW(VconfUtil::GetVconfStr(key), std::logic_error);
        } else {
            EXPECT_EQ(c.value, VconfUtil::GetVconfStr(key));
        }
    }
}

}  // namespace
