// The host's app control: the launch journal, delivery to a running application, the console's
// launch command, and the recovery action that carries a handle's extra data.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
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

constexpr const char* SENDER = "com.test.sender";
constexpr const char* RECEIVER = "com.test.receiver";

Json::Value PairsJson(const Pairs& pairs) {
    return tvhost::PairsToJson(pairs);
}

std::string ExtraOf(app_control_h handle, const char* key, int* result) {
    char* value = nullptr;
    *result = app_control_get_extra_data(handle, key, &value);
    std::string text = value ? value : "";
    free(value);
    return text;
}

struct LaunchCase {
    const char* name;
    const char* appId;
    const char* operation;  // null: not set
    Pairs added;            // in the order of the calls
    Pairs journaled;
    int result;
};

void PrintTo(const LaunchCase& c, std::ostream* os) {
    *os << c.name;
}

class LaunchJournal : public ::testing::TestWithParam<LaunchCase> {};

TEST_P(LaunchJournal, RecordsEveryRequestWithOrderedExtraData) {
    const LaunchCase& c = GetParam();
    TestDevice device;
    tvhost::SetSelfAppId(SENDER);
    app_control_h handle = nullptr;
    ASSERT_EQ(app_control_create(&handle), APPCTL_OK);
    ASSERT_EQ(app_control_set_app_id(handle, c.appId), APPCTL_OK);
    if (c.operation) {
        ASSERT_EQ(app_control_set_operation(handle, c.operation), APPCTL_OK);
    }
    for (const auto& kv : c.added) {
        ASSERT_EQ(app_control_add_extra_data(handle, kv.first.c_str(), kv.second.c_str()),
                  APPCTL_OK);
    }
    EXPECT_EQ(app_control_send_launch_request(handle, nullptr, nullptr), c.result);
    EXPECT_EQ(app_control_destroy(handle), APPCTL_OK);

    auto lines = device.Journal("launch.jsonl");
    ASSERT_EQ(lines.size(), 1u);
    const Json::Value& line = lines[0];
    EXPECT_EQ(line.getMemberNames(),
              (std::vector<std::string>{"app_id", "caller", "extra", "operation", "result", "ts"}));
    EXPECT_TRUE(line["ts"].isInt64());
    EXPECT_EQ(line["caller"], SENDER);
    EXPECT_EQ(line["app_id"], c.appId);
    EXPECT_EQ(line["operation"], c.operation ? Json::Value(c.operation) : Json::Value());
    EXPECT_EQ(line["extra"], PairsJson(c.journaled));
    EXPECT_EQ(line["result"], c.result);
    // Members in the documented order, "ts" first.
    std::string raw = device.Read("log/launch.jsonl");
    EXPECT_LT(raw.find("\"ts\""), raw.find("\"caller\""));
    EXPECT_LT(raw.find("\"caller\""), raw.find("\"app_id\""));
    EXPECT_LT(raw.find("\"app_id\""), raw.find("\"operation\""));
    EXPECT_LT(raw.find("\"operation\""), raw.find("\"extra\""));
    EXPECT_LT(raw.find("\"extra\""), raw.find("\"result\""));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LaunchJournal,
    ::testing::Values(
        LaunchCase{"InstalledNotRunning",
                   "com.talvoro.tv.homeupdateview",
                   APPCTL_OPERATION_DEFAULT,
                   {{"LaunchReason", "LoadingUI"}, {"Caller", "x"}, {"LaunchReason", "StopUI"}},
                   {{"LaunchReason", "StopUI"}, {"Caller", "x"}},
                   APPCTL_OK},
        LaunchCase{"NoOperation",
                   "com.talvoro.tv.syspopup",
                   nullptr,
                   {{"type", "toast"}, {"text", "hi"}, {"app_name", "n"}},
                   {{"type", "toast"}, {"text", "hi"}, {"app_name", "n"}},
                   APPCTL_OK},
        LaunchCase{"NotInstalled",
                   "com.test.absent",
                   APPCTL_OPERATION_DEFAULT,
                   {{"Caller", "com.talvoro.tv.brenwick"}},
                   {{"Caller", "com.talvoro.tv.brenwick"}},
                   APPCTL_ERR_APP_NOT_FOUND}),
    [](const ::testing::TestParamInfo<LaunchCase>& info) { return info.param.name; });

// Served as a running application: requests from the console reach the handler on the loop.
TEST(AppControlHost, ConsoleLaunchReachesRunningApplicationWithCallerAndExtraData) {
    TestDevice device;
    tvhost::SetSelfAppId(RECEIVER);
    ASSERT_EQ(device.Tvctl(std::string("install ") + RECEIVER), 0);
    ASSERT_EQ(tvhost::ServeApp(RECEIVER), 0);
    std::vector<std::string> seen;
    tvhost::SetMessageHandler("launch", [&seen](const Json::Value& message) {
        app_control_h handle = tvhost::AppControlFromMessage(message);
        ASSERT_NE(handle, nullptr);
        char* caller = nullptr;
        ASSERT_EQ(app_control_get_caller(handle, &caller), APPCTL_OK);
        seen.push_back(caller);
        free(caller);
        int result = 0;
        seen.push_back(ExtraOf(handle, "LaunchReason", &result));
        seen.push_back(ExtraOf(handle, "k", &result));
        ExtraOf(handle, "absent", &result);
        seen.push_back(std::to_string(result));
        app_control_destroy(handle);
    });

    std::string output;
    EXPECT_EQ(
        device.Tvctl(std::string("launch ") + RECEIVER + " LaunchReason=Hidden_Key k=v=w", &output),
        0)
        << output;
    EXPECT_TRUE(RunLoopUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, (std::vector<std::string>{"tvctl", "Hidden_Key", "v=w",
                                              std::to_string(APPCTL_ERR_KEY_NOT_FOUND)}));
    auto lines = device.Journal("launch.jsonl");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["caller"], "tvctl");
    EXPECT_EQ(lines[0]["extra"], PairsJson({{"LaunchReason", "Hidden_Key"}, {"k", "v=w"}}));
    EXPECT_EQ(lines[0]["result"], 0);

    tvhost::SetMessageHandler("launch", nullptr);
    tvhost::StopServing();
    EXPECT_EQ(device.Tvctl(std::string("launch ") + RECEIVER + " a=b", &output), 1) << output;
    EXPECT_NE(output.find("not running"), std::string::npos) << output;
    EXPECT_EQ(device.Tvctl(std::string("launch ") + RECEIVER + " novalue", &output), 2) << output;
    EXPECT_EQ(device.Journal("launch.jsonl").size(), 1u);
}

TEST(AppControlHost, FaultedAddLeavesHandleUsableAndRecoveryActionJournalsExtraData) {
    TestDevice device;
    ASSERT_EQ(device.Tvctl("fault add app_control_add_extra_data -12 1"), 0);
    app_control_h handle = nullptr;
    ASSERT_EQ(app_control_create(&handle), APPCTL_OK);
    EXPECT_EQ(app_control_add_extra_data(handle, "action", "skipped"), -12);
    EXPECT_EQ(app_control_add_extra_data(handle, "action", "prevent_update"), APPCTL_OK);
    EXPECT_EQ(app_control_add_extra_data(handle, "version", "2.0.0"), APPCTL_OK);
    EXPECT_EQ(pax_add_recovery_action(handle), 0);
    char* caller = nullptr;
    EXPECT_NE(app_control_get_caller(handle, &caller), APPCTL_OK);  // no one sent this one
    EXPECT_EQ(caller, nullptr);
    app_control_destroy(handle);

    auto lines = device.Journal("store.jsonl");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["call"], "pax_add_recovery_action");
    EXPECT_EQ(lines[0]["extra"], PairsJson({{"action", "prevent_update"}, {"version", "2.0.0"}}));
    EXPECT_EQ(lines[0]["result"], 0);
}

}  // namespace
