#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "Constants.h"
#include "Retry.h"
#include "TestDevice.h"

namespace {

const std::string FILE_NAME = FILE_NAME_REQUEST_RETRY;
const std::string STATE_FILE = std::string("fs") + DATA_DIR + FILE_NAME;
const char* HOME_APP = "com.talvoro.tv.zefo.homeversion";

using ExtraData = std::vector<std::pair<std::string, std::string>>;

// The extra data of every recovery action the store service accepted, keys in sent order.
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

TEST(RetryTest, NonNumericCountIsLoggedAndStartsOver) {
    TestDevice device;
    device.Write(STATE_FILE, "x\n5\n1.2.3|abtest\n");
    Retry retry(FILE_NAME);
    EXPECT_EQ(0, retry.GetTryCount());
    EXPECT_EQ("0.0.0", retry.GetVersion());
    EXPECT_TRUE(device.LogHas("Failed to load request_retry.txt. stoi"));
}

// Surviving a restart is shown end to end; here the exact bytes and the group read back.
TEST(RetryTest, WritesExactBytes) {
    struct {
        const char* group;
        int tries;
        const char *bytes, *groupReadBack;
    } cases[] = {
        {"abtest", 3, "3\n5\n1.2.3|abtest\n", "abtest"},
        {"", 0, "0\n5\n1.2.3\n", "normal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        TestDevice device;
        Retry retry(FILE_NAME);
        retry.SetRetryInfo("home", "1.2.3", c.group, 5);
        for (int i = 0; i < c.tries; ++i)
            retry.IncreaseCount();
        EXPECT_EQ(c.bytes, device.Read(STATE_FILE));
        EXPECT_EQ(c.groupReadBack, Retry(FILE_NAME).GetTargetGroupType());
    }
}

// The third line cannot tell such a version from its group: the count must still survive a
// restart, while ordinary versions keep their exact three lines (above).
TEST(RetryTest, VersionHoldingTheSeparatorKeepsItsCountAcrossARestart) {
    struct {
        const char* group;
        const char* savedBytes;
    } cases[] = {
        {"normal", "0\n5\n2.0|beta|normal\n2.0|beta\n"},
        {"", "0\n5\n2.0|beta\n2.0|beta\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.savedBytes);
        TestDevice device;
        Retry(FILE_NAME).SetRetryInfo("home", "2.0|beta", c.group, 5);
        EXPECT_EQ(c.savedBytes, device.Read(STATE_FILE));
        {
            Retry restarted(FILE_NAME);
            restarted.IncreaseCount();
            restarted.IncreaseCount();
        }
        // An empty group reads back as "normal", as for any version.
        EXPECT_EQ("2\n5\n2.0|beta|normal\n2.0|beta\n", device.Read(STATE_FILE));

        Retry restarted(FILE_NAME);
        EXPECT_EQ("2.0|beta", restarted.GetVersion());
        EXPECT_EQ("normal", restarted.GetTargetGroupType());
        restarted.SetRetryInfo("home", "2.0|beta", "normal", 5);
        EXPECT_EQ(2, restarted.GetTryCount()) << "the same target goes on counting";
    }
}

TEST(RetryTest, ReachingTheMaximumSendsOneRecoveryAction) {
    TestDevice device;
    Retry retry(FILE_NAME);
    retry.SetRetryInfo(HOME_APP, "2.0.0", "normal", 2);

    retry.IncreaseCount();
    EXPECT_TRUE(RecoveryActions(device).empty());
    retry.IncreaseCount();
    const ExtraData sent{{"action", "prevent_update"},
                         {"caller", "com.talvoro.tv.brenwick"},
                         {"appid", HOME_APP},
                         {"version", "2.0.0"}};
    EXPECT_EQ(std::vector<ExtraData>{sent}, RecoveryActions(device));

    retry.IncreaseCount();
    EXPECT_EQ(1u, RecoveryActions(device).size()) << "the third try changes nothing";
    EXPECT_EQ("2\n2\n2.0.0|normal\n", device.Read(STATE_FILE));

    retry.Skip();
    EXPECT_EQ((std::vector<ExtraData>{sent, sent}), RecoveryActions(device))
        << "Skip sends even at the maximum";
}

TEST(RetryTest, SameTargetKeepsCountAndMaximum) {
    TestDevice device;
    Retry retry(FILE_NAME);
    retry.SetRetryInfo("home", "2.0.0", "abtest", 3);
    retry.IncreaseCount();
    retry.SetRetryInfo("other", "2.0.0", "abtest", 9);
    EXPECT_EQ("1\n3\n2.0.0|abtest\n", device.Read(STATE_FILE));

    retry.SetRetryInfo("home", "2.0.0", "normal", 9);
    EXPECT_EQ("0\n9\n2.0.0|normal\n", device.Read(STATE_FILE)) << "a new group restarts";
}

// A child counts as fast as it can and is killed at an arbitrary moment, over and over, while
// the parent reads the file: every read, and the file left by each kill, must be one whole state.
TEST(RetryTest, KilledWriterNeverLeavesAHalfWrittenFile) {
    TestDevice device;
    Retry(FILE_NAME).SetRetryInfo("home", "9.9.9", "abtest", 2000000000);
    // A count of digits, then exactly the other two lines.
    auto whole = [&device] {
        std::string bytes = device.Read(STATE_FILE);
        size_t digits = bytes.find_first_not_of("0123456789");
        return digits > 0 && digits != std::string::npos &&
               bytes.substr(digits) == "\n2000000000\n9.9.9|abtest\n";
    };

    int reads = 0, torn = 0;
    for (int round = 0; round < 8; ++round) {
        pid_t child = fork();
        ASSERT_NE(-1, child);
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            Retry retry(FILE_NAME);
            for (;;)
                retry.IncreaseCount();
        }
        // Torn reads are counted, not asserted, so that the child is always killed first.
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(30 + 17 * round);
        for (; std::chrono::steady_clock::now() < until; ++reads)
            torn += !whole();
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_TRUE(whole()) << "after kill: " << device.Read(STATE_FILE);
    }
    EXPECT_EQ(0, torn) << "of " << reads << " reads during writes";
    EXPECT_GT(reads, 100);
}

}  // namespace
