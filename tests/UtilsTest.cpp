// The service's platform helpers against the host device: what reaches the launch journal, the
// log and the files.

#include <map>
#include <stdexcept>

#include "AppControlUtil.h"
#include "Constants.h"
#include "HostCore.h"
#include "TestDevice.h"
#include "VconfUtil.h"

namespace {

// A faulted destroy still destroys: a rule "app_control_destroy 0 1" is used up by the release.
bool Released(const TestDevice& device) {
    return device.Read("faults").find("app_control_destroy") == std::string::npos;
}

TEST(SendAppControlTest, ExtraDataGoInKeyOrderThenCallerAndAFailingStepStopsTheRequest) {
    const std::string caller = std::string("Caller=") + BRENWICK_APP_ID + ";";
    const std::string notFound = "> Failed to launch homeupdateview (error code: " +
                                 std::to_string(APPCTL_ERR_APP_NOT_FOUND) + ")";
    const ExtraDataMap three = {{"text", "hi"}, {"type", "toast"}, {"app_name", "x"}};
    const char* view = HOME_UPDATE_VIEW_APP_ID;
    struct Case {
        int failingAdd;  // 0: no fault; 4: the "Caller" entry after the three
        const char* appId;
        ExtraDataMap extra;
        std::string journaled;  // "" when nothing is launched
        std::string logged;
        int tried;  // map entries tried: each logs a line before its call
    };
    const Case cases[] = {
        {0, view, {}, caller, "", 0},
        {0, view, three, "app_name=x;text=hi;type=toast;" + caller, "", 3},
        {0, "com.talvoro.tv.notinstalled", {}, caller, notFound, 0},
        {2, view, three, "", "failed to set extra data (error code: -22)", 2},
        {4, view, three, "", "failed to set common extra data (error code: -22)", 3},
    };
    tvhost::SetSelfAppId(BRENWICK_APP_ID);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.journaled + c.logged);
        TestDevice device;
        if (c.failingAdd > 0) {
            const char* add = "app_control_add_extra_data";
            ASSERT_TRUE(tvhost::FaultAdd(add, "0", std::to_string(c.failingAdd - 1)));
            ASSERT_TRUE(tvhost::FaultAdd(add, "-22", "1"));
        }
        ASSERT_TRUE(tvhost::FaultAdd("app_control_destroy", "0", "1"));

        AppControlUtil::SendAppControl(c.appId, c.extra, "Failed to launch homeupdateview");

        auto launches = device.Journal("launch.jsonl");
        ASSERT_EQ(c.journaled.empty() ? 0u : 1u, launches.size());
        for (const Json::Value& launch : launches) {
            EXPECT_EQ(c.journaled, ExtraOf(launch));
            EXPECT_EQ(APPCTL_OPERATION_DEFAULT, launch["operation"].asString());
            EXPECT_EQ(BRENWICK_APP_ID, launch["caller"].asString());
            EXPECT_EQ(c.logged == notFound ? APPCTL_ERR_APP_NOT_FOUND : 0,
                      launch["result"].asInt());
        }
        EXPECT_TRUE(c.logged.empty() || device.LogHas(c.logged));
        EXPECT_EQ(c.tried, device.LogCount("app_control_add_extra_data: ")) << "stops at a fault";
        EXPECT_TRUE(Released(device));
    }
}

// A journal line is one line of JSON that gives back every byte of the extra data sent.
TEST(SendAppControlTest, TheLaunchJournalGivesBackEveryByteOfTheExtraData) {
    const ExtraDataMap extra = {
        {"Quotes", "say \"hi\" \\ back/slash"},
        {"Control", "\x01,\x1f,\b\f\n\r\t,\x7f"},
        {"Text",
         "Gr\xc3\xb6\xc3\x9f"
         "e \xe6\x97\xa5\xe6\x9c\xac"},
        {"NotUtf8", "\xff\xfe\xc3"},
        {"Empty", ""},
    };
    TestDevice device;
    AppControlUtil::SendAppControl(HOME_UPDATE_VIEW_APP_ID, extra, "failed");
    std::string text = device.Read("log/launch.jsonl");
    EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
    auto launches = device.Journal("launch.jsonl");
    ASSERT_EQ(1u, launches.size());
    std::map<std::string, std::string> journaled;
    for (const auto& pair : launches[0]["extra"])
        journaled[pair[0].asString()] = pair[1].asString();
    for (const auto& entry : extra)
        EXPECT_EQ(entry.second, journaled[entry.first]) << entry.first;
}

TEST(VconfUtilTest, AbsentKeyThrowsAndAnEmptyStringIsAValue) {
    TestDevice device;
    EXPECT_THROW(VconfUtil::GetVconfStr("db/test/absent"), std::logic_error);
    device.Write("kdb/db/test/empty", "s:");
    EXPECT_EQ("", VconfUtil::GetVconfStr("db/test/empty"));
}

}  // namespace
