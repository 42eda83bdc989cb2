// The host's store client calls, package manager and common-service properties, over the
// device root as the console leaves it; and fault rules that make those calls fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "HostCore.h"
#include "TestDevice.h"
#include "dravo_api.h"
#include "notification.h"
#include "package_manager.h"
#include "pax_manager_api.h"

namespace {

struct SyncCase {
    const char* content;  // null: no file
    int result;
    int status;
};

TEST(StoreHost, SyncStatusReadsADecimalAndJournalsEveryCall) {
    const SyncCase cases[] = {
        {"2", 0, 2},     {" 7\n", 0, 7}, {nullptr, -1, -5},
        {"abc", -1, -5}, {"3x", -1, -5}, {"", -1, -5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content ? c.content : "(missing)");
        TestDevice device;
        if (c.content) {
            device.Write("store/sync_status", c.content);
        } else {
            device.Remove("store/sync_status");
        }
        int status = -5;
        EXPECT_EQ(pax_get_apps_sync_status(&status), c.result);
        EXPECT_EQ(status, c.status);
        auto lines = device.Journal("store.jsonl");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0]["call"], "pax_get_apps_sync_status");
        EXPECT_EQ(lines[0]["result"], c.result);
    }
}

TEST(StoreHost, MajorFileInfoAndPriorityUpdateRequest) {
    TestDevice device;
    tvhost::SetSelfAppId("com.test.client");
    char* json = reinterpret_cast<char*>(1);
    EXPECT_EQ(pax_get_major_file_info(&json), -1);
    EXPECT_EQ(json, nullptr);
    device.Write("store/major_file_info.json", "{\"version\":\"2.0.0\"}");
    ASSERT_EQ(pax_get_major_file_info(&json), 0);
    ASSERT_NE(json, nullptr);
    EXPECT_STREQ(json, "{\"version\":\"2.0.0\"}");
    free(json);

    EXPECT_EQ(pax_request_priority_update(), 0);  // no store listening: journaled all the same
    ASSERT_EQ(tvhost::ServeApp("tvctl.store"), 0);
    std::vector<std::string> callers;
    tvhost::SetMessageHandler("priority_update_request", [&callers](const Json::Value& message) {
        callers.push_back(message["caller"].asString());
    });
    EXPECT_EQ(pax_request_priority_update(), 0);
    EXPECT_TRUE(RunLoopUntil([&] { return !callers.empty(); }));
    EXPECT_EQ(callers, std::vector<std::string>{"com.test.client"});
    tvhost::SetMessageHandler("priority_update_request", nullptr);
    tvhost::StopServing();

    std::string output;
    ASSERT_EQ(device.Tvctl("store calls", &output), 0);
    const char* expected[] = {
        "pax_get_major_file_info\",\"result\":-1", "pax_get_major_file_info\",\"result\":0",
        "pax_request_priority_update\",\"result\":0", "pax_request_priority_update\",\"result\":0"};
    size_t at = 0;
    for (const char* text : expected) {
        at = output.find(text, at);
        EXPECT_NE(at, std::string::npos) << text << " in order in\n" << output;
    }
    EXPECT_EQ(device.Journal("store.jsonl").size(), 4u);
}

std::string PackageVersion(const char* pkgId, int* result) {
    package_info_h info = nullptr;
    *result = package_manager_get_package_info(pkgId, &info);
    if (*result != PKGMGR_OK)
        return info ? "handle on failure" : "";
    char* version = nullptr;
    *result = package_info_get_version(info, &version);
    std::string text = version ? version : "";
    free(version);
    package_info_destroy(info);
    return text;
}

std::string Property(const char* name, int* result) {
    char* value = nullptr;
    *result = dravo_get_rixurl_configproperties(name, &value);
    std::string text = value ? value : "";
    free(value);
    return text;
}

TEST(StoreHost, PackagesAndPropertiesFollowTheConsole) {
    TestDevice device;
    int result = 0;
    EXPECT_EQ(PackageVersion("com.talvoro.tv.zefo.homeversion", &result), "1.0.0");
    EXPECT_EQ(result, PKGMGR_OK);
    ASSERT_EQ(device.Tvctl("pkg set com.test.pkg 2.1.0"), 0);
    EXPECT_EQ(PackageVersion("com.test.pkg", &result), "2.1.0");
    std::string output;
    EXPECT_EQ(device.Tvctl("pkg get com.test.pkg", &output), 0);
    EXPECT_EQ(output, "2.1.0\n");
    ASSERT_EQ(device.Tvctl("pkg rm com.test.pkg"), 0);
    EXPECT_EQ(PackageVersion("com.test.pkg", &result), "");
    EXPECT_EQ(result, PKGMGR_ERR_NO_SUCH_PACKAGE);
    EXPECT_EQ(device.Tvctl("pkg get com.test.pkg"), 1);
    device.Write("packages/com.test.lines", "3.0.0\nsecond line\n");
    EXPECT_EQ(PackageVersion("com.test.lines", &result), "3.0.0");

    EXPECT_EQ(Property("updateNotification", &result), "");
    EXPECT_NE(result, 0);
    ASSERT_EQ(device.Tvctl("prop set updateNotification 1_on"), 0);
    EXPECT_EQ(Property("updateNotification", &result), "1_on");
    EXPECT_EQ(result, 0);
    device.Write("config/properties/edited", "0\n");
    EXPECT_EQ(Property("edited", &result), "0");
    ASSERT_EQ(device.Tvctl("prop rm updateNotification"), 0);
    Property("updateNotification", &result);
    EXPECT_NE(result, 0);
    EXPECT_EQ(device.Tvctl("prop rm updateNotification"), 1);
}

struct FaultCase {
    const char* rule;
    std::function<int()> call;  // the faulted result, or 1 for a null pointer
    int faulted;
    int afterwards;  // once the rule is used up
};

TEST(StoreHost, FaultRulesMakeCallsFailForTheirTimes) {
    const FaultCase cases[] = {
        {"pax_get_apps_sync_status -1 1",
         [] {
             int status = 0;
             return pax_get_apps_sync_status(&status);
         },
         -1, 0},
        {"pax_get_major_file_info -1 1",
         [] {
             char* json = nullptr;
             int result = pax_get_major_file_info(&json);
             free(json);
             return result;
         },
         -1, 0},
        {"package_manager_get_package_info -5 1",
         [] {
             int result = 0;
             PackageVersion("com.talvoro.tv.zefo.homeversion", &result);
             return result;
         },
         -5, 0},
        {"dravo_get_rixurl_configproperties -3 1",
         [] {
             int result = 0;
             Property("present", &result);
             return result;
         },
         -3, 0},
        {"notification_create null 1",
         [] {
             notification_h noti = notification_create(NOTI_TYPE_NORMAL);
             notification_free(noti);
             return noti ? 0 : 1;
         },
         1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        TestDevice device;
        device.Write("store/major_file_info.json", "{}");
        device.Write("config/properties/present", "x");
        ASSERT_EQ(device.Tvctl(std::string("fault add ") + c.rule), 0);
        EXPECT_EQ(c.call(), c.faulted);
        EXPECT_EQ(c.call(), c.afterwards);
    }
    TestDevice device;
    ASSERT_EQ(device.Tvctl("fault add pax_get_apps_sync_status -7"), 0);
    int status = 0;
    EXPECT_EQ(pax_get_apps_sync_status(&status), -7);
    auto lines = device.Journal("store.jsonl");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["result"], -7);
}

}  // namespace
