// A retry counter file: its exact bytes, what a restart reads back, and the recovery action sent
// when the tries are used up. That no kill leaves a torn counter file is the kill soak's part.
#include "Retry.h"

#include "Constants.h"
#include "TestDevice.h"

namespace {

const std::string FILE_NAME = FILE_NAME_REQUEST_RETRY;
const std::string STATE_FILE = std::string("fs") + DATA_DIR + FILE_NAME;

TEST(RetryTest, FileHoldsCountLimitAndTargetAndANewTargetStartsOver) {
    TestDevice device;
    Retry retry(FILE_NAME);
    retry.SetRetryInfo("home", "1.2.3", "abtest", 5);
    for (int i = 0; i < 3; ++i)
        retry.IncreaseCount();
    EXPECT_EQ("3\n5\n1.2.3|abtest\n", device.Read(STATE_FILE));
    EXPECT_EQ("abtest", Retry(FILE_NAME).GetTargetGroupType());

    retry.SetRetryInfo("other", "1.2.3", "abtest", 9);
    EXPECT_EQ("3\n5\n1.2.3|abtest\n", device.Read(STATE_FILE)) << "the same target goes on";
    // A new group is a new target; an empty one is written as none and reads back as "normal".
    retry.SetRetryInfo("home", "1.2.3", "", 5);
    EXPECT_EQ("0\n5\n1.2.3\n", device.Read(STATE_FILE));
    EXPECT_EQ("normal", Retry(FILE_NAME).GetTargetGroupType());

    device.Write(STATE_FILE, "x\n5\n1.2.3|abtest\n");
    Retry unreadable(FILE_NAME);
    EXPECT_EQ(0, unreadable.GetTryCount());
    EXPECT_EQ("0.0.0", unreadable.GetVersion());
    EXPECT_TRUE(device.LogHas("Failed to load request_retry.txt. stoi"));
}

// A file cut short (a hand edit, a full disk on an older release) names its first missing line
// and gives no target.
TEST(RetryTest, CutFileNamesItsFirstMissingLine) {
    const std::pair<const char*, int> cases[] = {{"", 1}, {"3\n", 2}, {"3\n5\n", 3}};
    for (const auto& [content, missing] : cases) {
        SCOPED_TRACE(missing);
        TestDevice device;
        device.Write(STATE_FILE, content);
        EXPECT_EQ("0.0.0", Retry(FILE_NAME).GetVersion());
        EXPECT_TRUE(device.LogHas("> Failed to load request_retry.txt. line " +
                                  std::to_string(missing) + " is missing"));
    }
}

// The third line cannot tell such a version from its group: the count must still survive a
// restart, while ordinary versions keep their exact three lines (above).
TEST(RetryTest, VersionHoldingTheSeparatorKeepsItsCountAcrossARestart) {
    const std::pair<const char*, const char*> cases[] = {
        {"normal", "0\n5\n2.0|beta|normal\n2.0|beta\n"},
        {"", "0\n5\n2.0|beta\n2.0|beta\n"},
    };
    for (const auto& [group, savedBytes] : cases) {
        SCOPED_TRACE(savedBytes);
        TestDevice device;
        Retry(FILE_NAME).SetRetryInfo("home", "2.0|beta", group, 5);
        EXPECT_EQ(savedBytes, device.Read(STATE_FILE));
        for (int restart = 0; restart < 2; ++restart)
            Retry(FILE_NAME).IncreaseCount();
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
    auto sent = [&] {
        std::string extras;
        for (const auto& entry : device.Entries("store.jsonl", "result", 0))
            extras += entry["call"] == "pax_add_recovery_action" ? ExtraOf(entry) + "\n" : "";
        return extras;
    };
    const std::string action =
        "action=prevent_update;caller=com.talvoro.tv.brenwick;appid=com.talvoro.tv.zefo."
        "homeversion;version=2.0.0;\n";
    Retry retry(FILE_NAME);
    retry.SetRetryInfo("com.talvoro.tv.zefo.homeversion", "2.0.0", "normal", 2);

    retry.IncreaseCount();
    EXPECT_EQ("", sent());
    retry.IncreaseCount();
    EXPECT_EQ(action, sent());
    retry.IncreaseCount();
    EXPECT_EQ(action, sent()) << "the third try changes nothing";
    EXPECT_EQ("2\n2\n2.0.0|normal\n", device.Read(STATE_FILE));

    retry.Skip();
    EXPECT_EQ(action + action, sent()) << "Skip sends even at the maximum";
}

}  // namespace
