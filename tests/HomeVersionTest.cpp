// The target Home version as the store service's major file info gives it.
#include "HostCore.h"
#include "TestDevice.h"
#include "TriggerHomeVersion.h"

namespace {

// Members of the wrong type are rejected like missing ones: the whole response is not valid.
TEST(TriggerHomeVersionTest, ParsesMajorFileInfo) {
    const struct {
        const char* info;
        const char *appId, *version, *group;
        int maxRetryCount;
        const char* logLine;
    } cases[] = {
        {R"({"id":"","version":"","targetGroupType":"","maxRetryCount":3})", "", "", "normal", 3,
         "targetGroupType is empty. Set Normal"},
        {R"({"id":"home","version":"2.0.0","maxRetryCount":3})", "", "", "", 0,
         "No valid response"},
        {R"({"id":"home","version":"2.0.0","targetGroupType":"x"})", "home", "2.0.0", "x", 0,
         "home, 2.0.0, x"},
        {"version 2.0.0", "", "", "", 0, "Failed to parse json string"},
        {"", "", "", "", 0, "response is null or empty"},
        // The store service answering without handing a text over.
        {nullptr, "", "", "", 0, "response is null or empty"},
        {R"(["id","version","targetGroupType"])", "", "", "", 0, "No valid response"},
        {R"({"id":1,"version":2.5,"targetGroupType":"normal","maxRetryCount":3})", "", "", "", 0,
         "No valid response"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.info ? c.info : "(no text)");
        TestDevice device;
        device.Write("store/major_file_info.json", c.info ? c.info : "{}");
        if (!c.info) {
            ASSERT_TRUE(tvhost::FaultAdd("pax_get_major_file_info", "0", ""));
        }
        TriggerHomeVersion* target = TriggerHomeVersion::GetInstance();
        EXPECT_EQ(c.appId, target->GetAppId());
        EXPECT_EQ(c.version, target->GetVersion());
        EXPECT_EQ(c.group, target->GetTargetGroupType());
        EXPECT_EQ(c.maxRetryCount, target->GetMaxRetryCount());
        EXPECT_TRUE(device.LogHas(c.logLine)) << c.logLine;
        TriggerHomeVersion::DestoryInstance();
    }
}

}  // namespace
