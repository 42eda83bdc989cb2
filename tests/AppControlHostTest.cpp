// The host's app control: the launch journal, delivery to a running application, the console's
// launch command, and the recovery action that carries a handle's extra data.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "AppControlInternal.h"
#include "HostCore.h"
#include "TestDevice.h"
#include "app_control.h"
#include "pax_manager_api.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

constexpr const char* RECEIVER = "com.test.receiver";

struct LaunchCase {
    const char* appId;
    const char* operation;  // null: not set
    Pairs added;            // in the order of the calls
    Pairs journaled;
    int result;
};

TEST(AppControlHost, JournalRecordsEveryRequestWithOrderedExtraData) {
    const LaunchCase cases[] = {
        // A key added again keeps its place and takes the new value.
        {"com.talvoro.tv.homeupdateview",
         APPCTL_OPERATION_DEFAULT,
         {{"LaunchReason", "LoadingUI"}, {"Caller", "x"}, {"LaunchReason", "StopUI"}},
         {{"LaunchReason", "StopUI"}, {"Caller", "x"}},
         APPCTL_OK},
        {"com.test.absent",
         nullptr,
         {{"type", "toast"}},
         {{"type", "toast"}},
         APPCTL_ERR_APP_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.appId);
        TestDevice device;
        tvhost::SetSelfAppId("com.test.sender");
        app_control_h handle = nullptr;
        ASSERT_EQ(app_control_create(&handle), APPCTL_OK);
        ASSERT_EQ(app_control_set_app_id(handle, c.appId), APPCTL_OK);
        if (c.operation) {
            ASSERT_EQ(app_control_set_operation(handle, c.operation), APPCTL_OK);
        }
        for (const auto& kv : c.added)
            EXPECT_EQ(app_control_add_extra_data(handle, kv.first.c_str(), kv.second.c_str()), 0);
        EXPECT_EQ(app_control_send_launch_request(handle, nullptr, nullptr), c.result);
        EXPECT_EQ(app_control_destroy(handle), APPCTL_OK);

        auto lines = device.Journal("launch.jsonl");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0]["caller"], "com.test.sender");
        EXPECT_EQ(lines[0]["app_id"], c.appId);
        EXPECT_EQ(lines[0]["operation"], c.operation ? Json::Value(c.operation) : Json::Value());
        EXPECT_EQ(lines[0]["extra"], tvhost::PairsToJson(c.journaled));
        EXPECT_EQ(lines[0]["result"], c.result);
    }
}

// Served as a running application: requests from the console reach the handler on the loop.
TEST(AppControlHost, ConsoleLaunchReachesRunningApplicationWithCallerAndExtraData) {
    TestDevice device;
    tvhost::SetSelfAppId(RECEIVER);
    ASSERT_EQ(device.Tvctl(std::string("install ") + RECEIVER), 0);
    ASSERT_EQ(tvhost::ServeApp(RECEIVER), 0);
    std::vector<std::string> seen;
    tvhost::SetMessageHandler("launch", [&seen](const Json::Value& message) {
        app_control_h handle = tvhost::AppControlFromMessage(message);
        char* values[2] = {};
        app_control_get_caller(handle, &values[0]);
        app_control_get_extra_data(handle, "LaunchReason", &values[1]);
        for (char* value : values) {
            seen.push_back(value ? value : "<null>");
            free(value);
        }
        app_control_destroy(handle);
    });

    std::string output;
    EXPECT_EQ(device.Tvctl(std::string("launch ") + RECEIVER + " LaunchReason=Hidden_Key"), 0);
    EXPECT_TRUE(RunLoopUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, (std::vector<std::string>{"tvctl", "Hidden_Key"}));

    tvhost::SetMessageHandler("launch", nullptr);
    tvhost::StopServing();
    EXPECT_EQ(device.Tvctl(std::string("launch ") + RECEIVER + " a=b", &output), 1);
    EXPECT_NE(output.find("not running"), std::string::npos) << output;
}

TEST(AppControlHost, RecoveryActionJournalsTheExtraDataInOrder) {
    TestDevice device;
    app_control_h handle = nullptr;
    ASSERT_EQ(app_control_create(&handle), APPCTL_OK);
    EXPECT_EQ(app_control_add_extra_data(handle, "action", "prevent_update"), APPCTL_OK);
    EXPECT_EQ(app_control_add_extra_data(handle, "version", "2.0.0"), APPCTL_OK);
    EXPECT_EQ(pax_add_recovery_action(handle), 0);
    app_control_destroy(handle);

    auto lines = device.Journal("store.jsonl");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["call"], "pax_add_recovery_action");
    EXPECT_EQ(lines[0]["extra"],
              tvhost::PairsToJson({{"action", "prevent_update"}, {"version", "2.0.0"}}));
}

}  // namespace
