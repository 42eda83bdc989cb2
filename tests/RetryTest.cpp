#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Constants.h"
#include "Retry.h"
#include "TestDevice.h"

namespace {

const std::string FILE_NAME = FILE_NAME_REQUEST_RETRY;
const std::string STATE_FILE = std::string("fs") + DATA_DIR + FILE_NAME;

using ExtraData = std::vector<std::pair<std::string, std::string>>;

// The extra data of every recovery action the store service accepted.
std::vector<ExtraData> RecoveryActions(const TestDevice& device) {
    std::vector<ExtraData> actions;
    for (const Json::Value& entry : device.Journal("store.jsonl")) {
        if (entry["call"].asString() != "pax_add_recovery_action" || entry["result"].asInt() != 0)
            continue;
        ExtraData extra;
        for (const Json::Value& pair : entry["extra"])
            extra.emplace_back(pair[0].asString(), pair[1].asString());
        actions.push_back(extra);
    }
    return actions;
}

ExtraData PreventUpdate(const std::string& appId, const std::string& version) {
    return {{"action", "prevent_update"},
            {"caller", "com.talvoro.tv.brenwick"},
            {"appid", appId},
            {"version", version}};
}

struct LoadCase {
    const char* name;
    const char* content;  // null: no file
    int tryCount, maxCount;
    const char* version;
    const char* group;
    const char* logLine;  // null: none expected
};
void PrintTo(const LoadCase& c, std::ostream* os) {
    *os << c.name;
}

class RetryLoadTest : public ::testing::TestWithParam<LoadCase> {};

TEST_P(RetryLoadTest, ReadsThreeLines) {
    const LoadCase& c = GetParam();
    TestDevice device;
    if (c.content)
        device.Write(STATE_FILE, c.content);

    Retry retry(FILE_NAME);
    EXPECT_EQ(c.tryCount, retry.GetTryCount());
    EXPECT_EQ(c.maxCount, retry.GetMaxCount());
    EXPECT_EQ(c.version, retry.GetVersion());
    EXPECT_EQ(c.group, retry.GetTargetGroupType());
    if (c.logLine) {
        EXPECT_TRUE(device.LogHas(c.logLine)) << c.logLine;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, RetryLoadTest,
    ::testing::Values(
        LoadCase{"Missing", nullptr, 0, 0, "0.0.0", "", "File Not Exist "},
        LoadCase{"WithGroup", "3\n5\n1.2.3|abtest\n", 3, 5, "1.2.3", "abtest", nullptr},
        LoadCase{"WithoutGroup", "3\n5\n1.2.3\n", 3, 5, "1.2.3", "normal", nullptr},
        LoadCase{"SplitAtFirstBar", "1\n2\n1.2.3|a|b\n", 1, 2, "1.2.3", "a|b", nullptr},
        LoadCase{"FirstLineNotANumber", "x\n5\n1.2.3\n", 0, 0, "0.0.0", "",
                 "Failed to load request_retry.txt. stoi"},
        LoadCase{"SecondLineTooLarge", "4\n99999999999\n1.2.3\n", 4, 0, "0.0.0", "",
                 "Failed to load request_retry.txt. stoi"},
        LoadCase{"Truncated", "4\n", 4, 0, "0.0.0", "",
                 "Failed to load request_retry.txt. line 2 is missing"}),
    [](const auto& info) { return std::string(info.param.name); });

// A sequence of operations on a fresh object and the exact bytes it leaves behind.
struct SaveCase {
    const char* name;
    void (*operations)(Retry&);
    const char* bytes;
};
void PrintTo(const SaveCase& c, std::ostream* os) {
    *os << c.name;
}

class RetrySaveTest : public ::testing::TestWithParam<SaveCase> {};

TEST_P(RetrySaveTest, WritesExactBytesAndReadsThemBack) {
    TestDevice device;
    {
        Retry retry(FILE_NAME);
        GetParam().operations(retry);
    }
    EXPECT_EQ(GetParam().bytes, device.Read(STATE_FILE));

    // A new object (the service restarted) continues from the file.
    Retry restarted(FILE_NAME);
    int before = restarted.GetTryCount();
    restarted.IncreaseCount();
    EXPECT_EQ(std::min(before + 1, restarted.GetMaxCount()), restarted.GetTryCount());
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, RetrySaveTest,
    ::testing::Values(SaveCase{"ThreeTries",
                               [](Retry& r) {
                                   r.SetRetryInfo("home", "1.2.3", "abtest", 5);
                                   for (int i = 0; i < 3; ++i)
                                       r.IncreaseCount();
                               },
                               "3\n5\n1.2.3|abtest\n"},
                      SaveCase{"NoGroup", [](Retry& r) { r.SetRetryInfo("home", "1.2.3", "", 5); },
                               "0\n5\n1.2.3\n"},
                      SaveCase{"ClearKeepsTarget",
                               [](Retry& r) {
                                   r.SetRetryInfo("home", "2.0.0", "normal", 4);
                                   r.IncreaseCount();
                                   r.Clear();
                               },
                               "0\n4\n2.0.0|normal\n"},
                      SaveCase{"SkipJumpsToMax",
                               [](Retry& r) {
                                   r.SetRetryInfo("home", "2.0.0", "normal", 4);
                                   r.Skip();
                               },
                               "4\n4\n2.0.0|normal\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RetryTest, GroupLessObjectReadsBackNormal) {
    TestDevice device;
    Retry(FILE_NAME).SetRetryInfo("home", "1.2.3", "", 5);
    Retry restarted(FILE_NAME);
    EXPECT_EQ("1.2.3", restarted.GetVersion());
    EXPECT_EQ("normal", restarted.GetTargetGroupType());
}

TEST(RetryTest, ReachingTheMaximumSendsOneRecoveryAction) {
    TestDevice device;
    Retry retry(FILE_NAME);
    retry.SetRetryInfo("com.talvoro.tv.zefo.homeversion", "2.0.0", "normal", 2);

    retry.IncreaseCount();
    EXPECT_TRUE(RecoveryActions(device).empty());
    EXPECT_EQ("1\n2\n2.0.0|normal\n", device.Read(STATE_FILE));

    retry.IncreaseCount();
    std::vector<ExtraData> expected{PreventUpdate("com.talvoro.tv.zefo.homeversion", "2.0.0")};
    EXPECT_EQ(expected, RecoveryActions(device));
    EXPECT_EQ("2\n2\n2.0.0|normal\n", device.Read(STATE_FILE));
    EXPECT_TRUE(device.LogHas("Send app control to PAX for 2.0.0"));

    retry.IncreaseCount();
    EXPECT_EQ(expected, RecoveryActions(device)) << "the third try changes nothing";
    EXPECT_EQ("2\n2\n2.0.0|normal\n", device.Read(STATE_FILE));
    EXPECT_TRUE(device.LogHas("[Not Updated] request_retry.txt. max rety count 2"));

    retry.Skip();
    expected.push_back(expected[0]);
    EXPECT_EQ(expected, RecoveryActions(device)) << "Skip sends even at the maximum";
}

TEST(RetryTest, FreshObjectNeverSends) {
    TestDevice device;
    Retry retry(FILE_NAME);
    retry.IncreaseCount();
    EXPECT_TRUE(device.LogHas("[Not Updated] request_retry.txt. max rety count 0"));
    EXPECT_TRUE(RecoveryActions(device).empty());
    EXPECT_FALSE(device.Exists(STATE_FILE));
}

TEST(RetryTest, SameTargetKeepsCountAndMaximum) {
    TestDevice device;
    Retry retry(FILE_NAME);
    retry.SetRetryInfo("home", "2.0.0", "abtest", 3);
    retry.IncreaseCount();
    retry.SetRetryInfo("other", "2.0.0", "abtest", 9);
    EXPECT_TRUE(device.LogHas("[Not Updated] request_retry.txt"));
    EXPECT_EQ("1\n3\n2.0.0|abtest\n", device.Read(STATE_FILE));

    retry.SetRetryInfo("home", "2.0.0", "normal", 9);
    EXPECT_EQ("0\n9\n2.0.0|normal\n", device.Read(STATE_FILE)) << "a new group restarts";
}

TEST(RetryTest, FailedSaveIsLoggedAndMadeUpByTheNextChange) {
    TestDevice device;
    const std::string dataDir = std::string("fs") + DATA_DIR;
    Retry retry(FILE_NAME);
    device.Shell("rm -rf '" + device.Path(dataDir) + "'");
    retry.SetRetryInfo("home", "2.0.0", "normal", 3);
    EXPECT_TRUE(device.LogHas("Failed to open request_retry.txt"));

    device.Shell("mkdir -p '" + device.Path(dataDir) + "'");
    retry.IncreaseCount();
    EXPECT_EQ("1\n3\n2.0.0|normal\n", device.Read(STATE_FILE));
}

struct FaultCase {
    const char* fault;
    const char* logLine;
    size_t actions;
};
void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.fault;
}

class RetryFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(RetryFaultTest, CountIsSavedWhenTheStoreCannotBeTold) {
    TestDevice device;
    device.Write("faults", GetParam().fault);
    Retry retry(FILE_NAME);
    retry.SetRetryInfo("home", "3.0.0", "normal", 1);
    retry.IncreaseCount();
    EXPECT_TRUE(device.LogHas(GetParam().logLine)) << GetParam().logLine;
    EXPECT_EQ(GetParam().actions, RecoveryActions(device).size());
    EXPECT_EQ("1\n1\n3.0.0|normal\n", device.Read(STATE_FILE));
}

INSTANTIATE_TEST_SUITE_P(Faults, RetryFaultTest,
                         ::testing::Values(FaultCase{"app_control_create -1\n",
                                                     "Failed to send app control to PAX", 0},
                                           FaultCase{"pax_add_recovery_action -1\n",
                                                     "Failed to add recovery action", 0}));

// A child counts as fast as it can and is killed at an arbitrary moment, over and over, while
// the parent reads the file: every read, and the file left by each kill, must be one whole
// state, and each child must have gone on from where the previous one was killed.
TEST(RetryTest, KilledWriterNeverLeavesAHalfWrittenFile) {
    TestDevice device;
    const int maximum = 2000000000;
    Retry(FILE_NAME).SetRetryInfo("home", "9.9.9", "abtest", maximum);
    const std::regex whole("(\\d+)\n2000000000\n9\\.9\\.9\\|abtest\n");

    int lastCount = 0;
    int reads = 0;
    for (int round = 0; round < 8; ++round) {
        pid_t child = fork();
        ASSERT_NE(-1, child);
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            Retry retry(FILE_NAME);
            for (;;)
                retry.IncreaseCount();
        }
        // A failed assertion returns early: the child must not outlive the round.
        std::unique_ptr<pid_t, void (*)(pid_t*)> reaper(&child, [](pid_t* pid) {
            kill(*pid, SIGKILL);
            waitpid(*pid, nullptr, 0);
        });
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(30 + 17 * round);
        while (std::chrono::steady_clock::now() < until) {
            std::string bytes = device.Read(STATE_FILE);
            ASSERT_TRUE(std::regex_match(bytes, whole)) << "read during writes: " << bytes;
            ++reads;
        }
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        reaper.release();
        ASSERT_TRUE(WIFSIGNALED(status));

        std::smatch match;
        std::string bytes = device.Read(STATE_FILE);
        ASSERT_TRUE(std::regex_match(bytes, match, whole)) << "after kill: " << bytes;
        int count = std::stoi(match[1]);
        EXPECT_GT(count, lastCount) << "round " << round << " did not go on counting";
        lastCount = count;
    }
    EXPECT_GT(reads, 100);
}

}  // namespace
