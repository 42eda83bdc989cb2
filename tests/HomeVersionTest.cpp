#include <gtest/gtest.h>

#include <string>

#include "Constants.h"
#include "CurrentHomeVersion.h"
#include "TestDevice.h"
#include "TriggerHomeVersion.h"

namespace {

const std::string FLAG = std::string("fs") + TRUSTED_DIR + ABTEST_FILE;
const std::string HOME_PACKAGE = std::string("packages/") + HOME_VERSION_PKG;
const std::string MAJOR_INFO = "store/major_file_info.json";

TEST(CurrentHomeVersionTest, FlagFileIsWrittenExactlyAndItsPresenceMeansAbtest) {
    TestDevice device;
    for (std::string text : {"{\"version\":\"2.0.0\"}", ""}) {
        CurrentHomeVersion::CreateABTest(text);
        EXPECT_TRUE(device.Exists(FLAG));
        EXPECT_EQ(text, device.Read(FLAG)) << "no line end added";
        EXPECT_EQ("abtest", CurrentHomeVersion().GetTargetGroupType());
        CurrentHomeVersion::DeleteABTest();
        EXPECT_EQ("normal", CurrentHomeVersion().GetTargetGroupType());
    }
}

TEST(CurrentHomeVersionTest, MissingPackageIsAskedForAgainOnEachGetter) {
    TestDevice device;
    device.Remove(HOME_PACKAGE);
    const std::string failure = "Failed to get package info with error code :-2 ";
    CurrentHomeVersion current;
    EXPECT_EQ("", current.GetHomePackageVersion());
    EXPECT_EQ("", current.GetHomePackageVersion());
    EXPECT_EQ(3, device.LogCount(failure)) << "once at creation and once per getter";
}

// Members of the wrong type are rejected like missing ones: the whole response is not valid.
TEST(TriggerHomeVersionTest, ParsesMajorFileInfo) {
    struct {
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
        {R"(["id","version","targetGroupType"])", "", "", "", 0, "No valid response"},
        {R"({"id":1,"version":2.5,"targetGroupType":"normal","maxRetryCount":3})", "", "", "", 0,
         "No valid response"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.info);
        TestDevice device;
        device.Write(MAJOR_INFO, c.info);
        TriggerHomeVersion* target = TriggerHomeVersion::GetInstance();
        EXPECT_EQ(c.appId, target->GetAppId());
        EXPECT_EQ(c.version, target->GetVersion());
        EXPECT_EQ(c.group, target->GetTargetGroupType());
        EXPECT_EQ(c.maxRetryCount, target->GetMaxRetryCount());
        EXPECT_TRUE(device.LogHas(c.logLine)) << c.logLine;
        TriggerHomeVersion::DestoryInstance();
    }
}

TEST(TriggerHomeVersionTest, FlagFollowsTheGroupAndAFailedUpdateEmptiesEverything) {
    TestDevice device;
    const std::string info =
        R"({"id":"home","version":"2.0.0","targetGroupType":"abtest","maxRetryCount":4})";
    device.Write(MAJOR_INFO, info);
    TriggerHomeVersion* target = TriggerHomeVersion::GetInstance();
    target->m_UpdateTargetGroupTypeFlag();
    EXPECT_EQ(info, device.Read(FLAG)) << "the raw response, as it came";

    device.Write(MAJOR_INFO, "{broken");
    target->Update();
    EXPECT_EQ("", target->GetAppId());
    EXPECT_EQ("", target->GetVersion());
    EXPECT_EQ("", target->GetTargetGroupType());
    EXPECT_EQ(0, target->GetMaxRetryCount());
    target->m_UpdateTargetGroupTypeFlag();
    EXPECT_FALSE(device.Exists(FLAG));
    TriggerHomeVersion::DestoryInstance();
}

}  // namespace
