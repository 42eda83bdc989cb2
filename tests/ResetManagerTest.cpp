#include <gtest/gtest.h>
#include <vconf.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "Constants.h"
#include "PlatformKeys.h"
#include "ResetManager.h"
#include "ServiceProcess.h"
#include "TestDevice.h"

namespace fs = std::filesystem;

namespace {

const std::string DATA = std::string("fs") + DATA_DIR;
const std::string TRUSTED = std::string("fs") + TRUSTED_DIR;
const std::string RESET_FLAG = TRUSTED + ".resetflag";

void SetCounters(int factory, int service, int portal) {
    vconf_set_int(keys::FACTORY_RESET_COUNT, factory);
    vconf_set_int(keys::SERVICE_RESET_COUNT, service);
    vconf_set_int(keys::PORTAL_RESET_COUNT, portal);
}

bool LogHasLineWith(const TestDevice& device, const std::string& first, const std::string& second) {
    std::stringstream lines(device.Log());
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find(first) != std::string::npos && line.find(second) != std::string::npos)
            return true;
    }
    return false;
}

struct FlagCase {
    const char* name;
    const char* flagBefore;  // null: no flag file
    int factory, service, portal;
    bool deletedAtLoad;
    bool firstCheck;
    const char* flagAfter;
};

class ResetFlagTest : public ::testing::TestWithParam<FlagCase> {};

TEST_P(ResetFlagTest, ChecksOnceAndRecordsCounts) {
    const FlagCase& c = GetParam();
    TestDevice device;
    if (c.flagBefore)
        device.Write(RESET_FLAG, c.flagBefore);
    SetCounters(c.factory, c.service, c.portal);

    ResetManager* manager = Singleton<ResetManager>::GetInstance();
    EXPECT_EQ(c.deletedAtLoad, device.LogHas("invalid_argument exception occurred ("));
    if (c.deletedAtLoad) {
        EXPECT_FALSE(device.Exists(RESET_FLAG));
    }

    EXPECT_EQ(c.firstCheck, manager->IsReset());
    EXPECT_EQ(c.flagAfter, device.Read(RESET_FLAG));
    EXPECT_FALSE(manager->IsReset()) << "a reset is acted on only once";
    Singleton<ResetManager>::DestoryInstance();

    // The counts survive a restart of the service.
    EXPECT_FALSE(Singleton<ResetManager>::GetInstance()->IsReset());
    Singleton<ResetManager>::DestoryInstance();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResetFlagTest,
    ::testing::Values(FlagCase{"FirstStart", nullptr, 0, 0, 0, false, true, "0\n0\n0\n"},
                      FlagCase{"FactoryMoved", "2\n5\n1\n", 3, 5, 1, false, true, "3\n5\n1\n"},
                      FlagCase{"PortalMoved", "2\n5\n1\n", 2, 5, 4, false, true, "2\n5\n4\n"},
                      FlagCase{"Unchanged", "2\n5\n1\n", 2, 5, 1, false, false, "2\n5\n1\n"},
                      FlagCase{"CorruptSecondLine", "0\nx\n0\n", 0, 0, 0, true, true, "0\n0\n0\n"}),
    [](const ::testing::TestParamInfo<FlagCase>& info) { return info.param.name; });

class PortalResetStateTest : public ::testing::TestWithParam<std::pair<int, bool>> {};

TEST_P(PortalResetStateTest, OnlyOneAndTwoStartACheck) {
    int state = GetParam().first;
    bool checks = GetParam().second;
    TestDevice device;
    device.Write(RESET_FLAG, "0\n0\n0\n");
    device.Write(DATA + "request_retry.txt", "1\n");
    Singleton<ResetManager>::GetInstance();

    vconf_set_int(keys::FACTORY_RESET_COUNT, 1);
    vconf_set_int(keys::PORTAL_RESET_STATE, state);
    std::string seen =
        "key : memory/kesh/lumaport_reset_state, changedValue : " + std::to_string(state);
    ASSERT_TRUE(RunLoopUntil([&] { return device.LogHas(seen); }));

    EXPECT_EQ(checks ? "1\n0\n0\n" : "0\n0\n0\n", device.Read(RESET_FLAG));
    EXPECT_EQ(!checks, device.Exists(DATA + "request_retry.txt"));
    Singleton<ResetManager>::DestoryInstance();
}

INSTANTIATE_TEST_SUITE_P(States, PortalResetStateTest,
                         ::testing::Values(std::make_pair(0, false), std::make_pair(1, true),
                                           std::make_pair(2, true), std::make_pair(3, false)));

TEST(ResetWipeTest, EmptiesBothDirectoriesButKeepsBookkeepingAndLinkTargets) {
    TestDevice device;
    device.Write(DATA + "request_retry.txt", "1\n3\n");
    device.Write(DATA + "hidden_mode", "");
    device.Write(DATA + "nested/deeper/file", "x");
    device.Write(DATA + "nested/other", "y");
    device.Write(TRUSTED + "abtest", "{}");
    device.Write(TRUSTED + "appDetail", "{}");
    device.Write(TRUSTED + ".resetflag", "0\n0\n0\n");
    device.Write(TRUSTED + ".home_version_tracker", "1.0.0\n");
    // Links from inside the service's directories to things that are not the service's.
    device.Write("outside/keep.txt", "precious");
    device.Write("outside/dir/inner.txt", "precious too");
    fs::create_symlink(device.Path("outside/keep.txt"), device.Path(DATA + "link_to_file"));
    fs::create_symlink(device.Path("outside/dir"), device.Path(DATA + "nested/link_to_dir"));

    Singleton<ResetManager>::GetInstance()->DoReset();
    Singleton<ResetManager>::DestoryInstance();

    EXPECT_TRUE(fs::is_directory(device.Path(DATA)));
    EXPECT_TRUE(fs::is_empty(device.Path(DATA)));
    std::vector<std::string> trusted;
    for (const auto& entry : fs::directory_iterator(device.Path(TRUSTED)))
        trusted.push_back(entry.path().filename().string());
    std::sort(trusted.begin(), trusted.end());
    EXPECT_EQ((std::vector<std::string>{".home_version_tracker", ".resetflag"}), trusted);
    EXPECT_EQ("1.0.0\n", device.Read(TRUSTED + ".home_version_tracker"));
    EXPECT_EQ("precious", device.Read("outside/keep.txt"));
    EXPECT_EQ("precious too", device.Read("outside/dir/inner.txt"));

    EXPECT_TRUE(device.LogHas("Skip remove root directory " + device.Path(DATA)));
    EXPECT_TRUE(device.LogHas("Remove directory " + device.Path(DATA + "nested/deeper")));
    EXPECT_TRUE(device.LogHas("Done: " + device.Path(DATA)));
    EXPECT_TRUE(device.LogHas("Done: " + device.Path(TRUSTED)));
}

TEST(ResetWipeTest, KeptFileInSubdirectoryEndsThatRootButNotTheNext) {
    TestDevice device;
    device.Write(DATA + "sub/.resetflag", "stale");
    device.Write(TRUSTED + "abtest", "{}");

    Singleton<ResetManager>::GetInstance()->DoReset();
    Singleton<ResetManager>::DestoryInstance();

    EXPECT_TRUE(device.Exists(DATA + "sub/.resetflag"));
    EXPECT_TRUE(device.LogHas("Exception: "));
    EXPECT_FALSE(device.Exists(TRUSTED + "abtest"));
}

// The whole service: the wipe comes before anything reads the service's files.
struct StartCase {
    const char* name;
    bool flagMatchesCounters;
};

class StartAfterResetTest : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartAfterResetTest, WipesBeforeOtherManagersReadFiles) {
    TestDevice device;
    if (GetParam().flagMatchesCounters)
        device.Write(RESET_FLAG, "0\n0\n0\n");
    device.Write(DATA + "hidden_mode", "");
    device.Write(DATA + "request_retry.txt", "2\n3\n2.0.0\nnormal\n");
    bool wiped = !GetParam().flagMatchesCounters;

    ServiceProcess service(device);
    ASSERT_TRUE(service.Start());
    EXPECT_EQ(0, service.Stop());

    EXPECT_EQ(!wiped, device.Exists(DATA + "hidden_mode"));
    EXPECT_EQ(!wiped, device.Exists(DATA + "request_retry.txt"));
    EXPECT_EQ("0\n0\n0\n", device.Read(RESET_FLAG));
    EXPECT_TRUE(device.LogHas(wiped ? "m_isHiddenMode: 0" : "m_isHiddenMode: 1"));
    int resetDone = device.LogLineOf("Done: " + device.Path(TRUSTED));
    EXPECT_EQ(wiped, resetDone >= 0);
    if (wiped) {
        EXPECT_LT(resetDone, device.LogLineOf("m_isHiddenMode: "));
    }
    // The retry counter found its file gone only if the wipe ran first.
    EXPECT_EQ(wiped, LogHasLineWith(device, "File Not Exist", "request_retry.txt"));
}

INSTANTIATE_TEST_SUITE_P(Cases, StartAfterResetTest,
                         ::testing::Values(StartCase{"AfterReset", false},
                                           StartCase{"WithoutReset", true}),
                         [](const ::testing::TestParamInfo<StartCase>& info) {
                             return info.param.name;
                         });

}  // namespace
