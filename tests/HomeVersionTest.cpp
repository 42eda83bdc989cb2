#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "Constants.h"
#include "CurrentHomeVersion.h"
#include "TestDevice.h"
#include "TriggerHomeVersion.h"

namespace {

const std::string FLAG = std::string("fs") + TRUSTED_DIR + ABTEST_FILE;
const std::string HOME_PACKAGE = std::string("packages/") + HOME_VERSION_PKG;
const std::string MAJOR_INFO = "store/major_file_info.json";

// ---- installed Home ----

struct GroupCase {
    const char* flag;  // null: no flag file
    const char* group;
};
void PrintTo(const GroupCase& c, std::ostream* os) {
    *os << (c.flag ? c.flag : "(no flag)");
}

class CurrentGroupTest : public ::testing::TestWithParam<GroupCase> {};

TEST_P(CurrentGroupTest, FlagFileExistenceDecides) {
    TestDevice device;
    if (GetParam().flag)
        device.Write(FLAG, GetParam().flag);
    CurrentHomeVersion current;
    EXPECT_EQ("1.0.0", current.GetHomePackageVersion());
    EXPECT_EQ(GetParam().group, current.GetTargetGroupType());
    EXPECT_EQ(GetParam().flag != nullptr, device.LogHas("This is abtest version. (1.0.0)"));
}

INSTANTIATE_TEST_SUITE_P(Flags, CurrentGroupTest,
                         ::testing::Values(GroupCase{nullptr, "normal"}, GroupCase{"", "abtest"},
                                           GroupCase{"{\"id\":\"x\"}", "abtest"}));

TEST(CurrentHomeVersionTest, MissingPackageIsAskedForAgainOnEachGetter) {
    TestDevice device;
    device.Remove(HOME_PACKAGE);
    const std::string failure = "Failed to get package info with error code :-2 ";

    CurrentHomeVersion current;
    EXPECT_EQ(1, device.LogCount(failure));
    EXPECT_EQ("", current.GetHomePackageVersion());
    EXPECT_EQ("", current.GetHomePackageVersion());
    EXPECT_EQ(3, device.LogCount(failure));

    device.Write(HOME_PACKAGE, "3.1.0\n");
    EXPECT_EQ("3.1.0", current.GetHomePackageVersion());
    EXPECT_EQ("3.1.0", current.GetHomePackageVersion());
    EXPECT_EQ(3, device.LogCount(failure)) << "a known version is not read again";
}

TEST(CurrentHomeVersionTest, FlagFileIsWrittenExactlyAndDeleted) {
    TestDevice device;
    CurrentHomeVersion::CreateABTest("{\"version\":\"2.0.0\"}");
    EXPECT_EQ("{\"version\":\"2.0.0\"}", device.Read(FLAG));
    CurrentHomeVersion::CreateABTest("second");
    EXPECT_EQ("second", device.Read(FLAG)) << "replaced, no line end added";

    CurrentHomeVersion::DeleteABTest();
    EXPECT_FALSE(device.Exists(FLAG));
    EXPECT_TRUE(device.LogHas("> Delete"));
    CurrentHomeVersion::DeleteABTest();
    EXPECT_TRUE(device.LogHas("Fail [" + device.Path(FLAG) + "]"));
}

// ---- target Home ----

struct TargetCase {
    const char* name;
    const char* info;  // null: the store service has none (the call fails)
    const char* appId;
    const char* version;
    const char* group;
    int maxRetryCount;
    const char* logLine;
};
void PrintTo(const TargetCase& c, std::ostream* os) {
    *os << c.name;
}

class TargetTest : public ::testing::TestWithParam<TargetCase> {};

TEST_P(TargetTest, ParsesMajorFileInfo) {
    const TargetCase& c = GetParam();
    TestDevice device;
    if (c.info)
        device.Write(MAJOR_INFO, c.info);
    else
        device.Remove(MAJOR_INFO);

    TriggerHomeVersion* target = TriggerHomeVersion::GetInstance();
    EXPECT_EQ(c.appId, target->GetAppId());
    EXPECT_EQ(c.version, target->GetVersion());
    EXPECT_EQ(c.group, target->GetTargetGroupType());
    EXPECT_EQ(c.maxRetryCount, target->GetMaxRetryCount());
    EXPECT_TRUE(device.LogHas(c.logLine)) << c.logLine;
    TriggerHomeVersion::DestoryInstance();
}

INSTANTIATE_TEST_SUITE_P(
    Responses, TargetTest,
    ::testing::Values(
        TargetCase{
            "Complete",
            R"({"id":"home","version":"2.0.0","targetGroupType":"abtest","maxRetryCount":3})",
            "home", "2.0.0", "abtest", 3, "home, 2.0.0, abtest"},
        TargetCase{"EmptyGroupIsNormal",
                   R"({"id":"","version":"","targetGroupType":"","maxRetryCount":3})", "", "",
                   "normal", 3, "targetGroupType is empty. Set Normal"},
        TargetCase{"NoGroup", R"({"id":"home","version":"2.0.0","maxRetryCount":3})", "", "", "", 0,
                   "No valid response"},
        TargetCase{"NoMaxRetryCount", R"({"id":"home","version":"2.0.0","targetGroupType":"x"})",
                   "home", "2.0.0", "x", 0, "home, 2.0.0, x"},
        TargetCase{"StoreFails", nullptr, "", "", "", 0, "pax_get_major_file_info failed"},
        TargetCase{"Empty", "", "", "", "", 0, "response is null or empty"},
        TargetCase{"NotJson", "version 2.0.0", "", "", "", 0, "Failed to parse json string"},
        TargetCase{"Array", R"(["id","version","targetGroupType"])", "", "", "", 0,
                   "No valid response"},
        TargetCase{"NumbersForStrings",
                   R"({"id":1,"version":2.5,"targetGroupType":"normal","maxRetryCount":3})", "", "",
                   "", 0, "No valid response"},
        TargetCase{"ObjectForId", R"({"id":{},"version":"2","targetGroupType":"normal"})", "", "",
                   "", 0, "No valid response"},
        TargetCase{"CountAsString",
                   R"({"id":"h","version":"2","targetGroupType":"normal","maxRetryCount":"3"})", "",
                   "", "", 0, "No valid response"},
        TargetCase{"CountTooLarge",
                   R"({"id":"h","version":"2","targetGroupType":"normal","maxRetryCount":1e12})",
                   "", "", "", 0, "No valid response"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TargetHomeVersionTest, FailedUpdateEmptiesEverything) {
    TestDevice device;
    device.Write(MAJOR_INFO, R"({"id":"home","version":"2.0.0","targetGroupType":"abtest",)"
                             R"("maxRetryCount":4})");
    TriggerHomeVersion* target = TriggerHomeVersion::GetInstance();
    EXPECT_EQ("2.0.0", target->GetVersion());

    device.Write(MAJOR_INFO, "{broken");
    target->Update();
    EXPECT_EQ("", target->GetAppId());
    EXPECT_EQ("", target->GetVersion());
    EXPECT_EQ("", target->GetTargetGroupType());
    EXPECT_EQ(0, target->GetMaxRetryCount());
    TriggerHomeVersion::DestoryInstance();
}

struct FlagCase {
    const char* group;
    bool flagAfter;
};
void PrintTo(const FlagCase& c, std::ostream* os) {
    *os << c.group;
}

class TargetFlagTest : public ::testing::TestWithParam<FlagCase> {};

TEST_P(TargetFlagTest, CompletedUpdateSetsTheFlagFromTheGroup) {
    TestDevice device;
    device.Write(FLAG, "old");
    const std::string info = std::string(R"({"id":"home","version":"2.0.0","targetGroupType":")") +
                             GetParam().group + "\"}";
    device.Write(MAJOR_INFO, info);

    TriggerHomeVersion* target = TriggerHomeVersion::GetInstance();
    target->m_UpdateTargetGroupTypeFlag();
    EXPECT_EQ(GetParam().flagAfter, device.Exists(FLAG));
    if (GetParam().flagAfter) {
        EXPECT_EQ(info, device.Read(FLAG)) << "the raw response, as it came";
    }
    target->m_Clear();
    EXPECT_EQ("", target->GetVersion());
    TriggerHomeVersion::DestoryInstance();
}

INSTANTIATE_TEST_SUITE_P(Groups, TargetFlagTest,
                         ::testing::Values(FlagCase{"abtest", true}, FlagCase{"normal", false},
                                           FlagCase{"", false}, FlagCase{"ABTEST", false}));

}  // namespace
