// The settings store: files, types, notification on the main loop, atomic writes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "TestDevice.h"
#include "vconf.h"

namespace {

constexpr const char* STATUS_KEY = "memory/pax/priority_biu_status";

std::string GetStr(const char* key) {
    char* value = vconf_get_str(key);
    if (!value)
        return "<null>";
    std::string copy = value;
    free(value);
    return copy;
}

// What each callback saw, in order.
struct Seen {
    std::vector<std::string> values;
};

void Collect(keynode_t* node, void* data) {
    const char* value = vconf_keynode_get_str(node);
    static_cast<Seen*>(data)->values.push_back(value ? value : "<null>");
}

TEST(Vconf, KeyFilesHoldTypeLetterColonValue) {
    TestDevice device;
    ASSERT_EQ(vconf_set_str(STATUS_KEY, "priority0_start"), VCONF_OK);
    ASSERT_EQ(vconf_set_int("db/lumaport/reset_count", 3), VCONF_OK);
    ASSERT_EQ(vconf_set_str("new/deep/key", ""), VCONF_OK);
    EXPECT_EQ(device.Key(STATUS_KEY), "s:priority0_start");
    EXPECT_EQ(device.Key("db/lumaport/reset_count"), "i:3");
    EXPECT_EQ(device.Key("new/deep/key"), "s:");
    EXPECT_EQ(GetStr("new/deep/key"), "");
}

TEST(Vconf, ReadsOfAbsentOrOtherTypedKeysFail) {
    TestDevice device;
    device.Write("kdb/db/some/int", "i:42");
    device.Write("kdb/db/some/str", "s:42");
    EXPECT_EQ(vconf_get_str("db/absent/key"), nullptr);
    EXPECT_EQ(vconf_get_str("db/some/int"), nullptr);
    int value = 7;
    EXPECT_EQ(vconf_get_int("db/some/str", &value), VCONF_ERROR);
    EXPECT_EQ(vconf_get_int("db/absent/key", &value), VCONF_ERROR);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(vconf_get_int("db/some/int", &value), VCONF_OK);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(vconf_unset("db/some/str"), VCONF_OK);
    EXPECT_EQ(vconf_get_str("db/some/str"), nullptr);
    EXPECT_EQ(vconf_unset("db/some/str"), VCONF_ERROR);
}

TEST(Vconf, BadKeyNamesAreRefused) {
    TestDevice device;
    const char* badKeys[] = {"",   "/db/abs", "db//double", "db/../escape", "db/trailing/",
                             "..", "a/.x"};
    for (const char* key : badKeys) {
        SCOPED_TRACE(key);
        EXPECT_EQ(vconf_set_str(key, "v"), VCONF_ERROR);
        EXPECT_EQ(vconf_set_int(key, 1), VCONF_ERROR);
        EXPECT_EQ(vconf_get_str(key), nullptr);
        EXPECT_EQ(vconf_notify_key_changed(key, Collect, nullptr), VCONF_ERROR);
    }
    EXPECT_FALSE(device.Exists("escape"));
}

TEST(Vconf, CallbackComesOnTheLoopNeverInsideSet) {
    TestDevice device;
    Seen seen;
    ASSERT_EQ(vconf_notify_key_changed(STATUS_KEY, Collect, &seen), VCONF_OK);
    ASSERT_EQ(vconf_set_str(STATUS_KEY, "priority0_start"), VCONF_OK);
    EXPECT_TRUE(seen.values.empty());
    ASSERT_TRUE(RunLoopUntil([&] { return seen.values.size() == 1; }));
    EXPECT_EQ(seen.values[0], "priority0_start");
    // The same value again still notifies.
    ASSERT_EQ(vconf_set_str(STATUS_KEY, "priority0_start"), VCONF_OK);
    EXPECT_EQ(seen.values.size(), 1u);
    ASSERT_TRUE(RunLoopUntil([&] { return seen.values.size() == 2; }));
    EXPECT_EQ(seen.values[1], "priority0_start");
    EXPECT_EQ(vconf_ignore_key_changed(STATUS_KEY, Collect), VCONF_OK);
}

TEST(Vconf, BurstGivesOneCallbackWithTheLatestValue) {
    TestDevice device;
    Seen seen;
    ASSERT_EQ(vconf_notify_key_changed(STATUS_KEY, Collect, &seen), VCONF_OK);
    for (int i = 0; i < 5; ++i)
        vconf_set_str(STATUS_KEY, ("step" + std::to_string(i)).c_str());
    RunLoopFor(200);
    EXPECT_EQ(seen.values, std::vector<std::string>{"step4"});
    vconf_ignore_key_changed(STATUS_KEY, Collect);
}

// A callback that withdraws the other callback of its key, as a destructor run from a callback
// does.
Seen g_first, g_second;
void SecondCallback(keynode_t* node, void*) {
    Collect(node, &g_second);
}
void FirstCallback(keynode_t* node, void*) {
    Collect(node, &g_first);
    vconf_ignore_key_changed(STATUS_KEY, SecondCallback);
}

TEST(Vconf, CallbacksMayWithdrawWatchesWhileBeingCalled) {
    TestDevice device;
    Seen plain;
    ASSERT_EQ(vconf_notify_key_changed(STATUS_KEY, FirstCallback, nullptr), VCONF_OK);
    ASSERT_EQ(vconf_notify_key_changed(STATUS_KEY, SecondCallback, nullptr), VCONF_OK);
    ASSERT_EQ(vconf_notify_key_changed(STATUS_KEY, Collect, &plain), VCONF_OK);
    vconf_set_str(STATUS_KEY, "a");
    ASSERT_TRUE(RunLoopUntil([&] { return plain.values.size() == 1; }));
    EXPECT_EQ(g_first.values, std::vector<std::string>{"a"});
    EXPECT_TRUE(g_second.values.empty());
    EXPECT_EQ(vconf_ignore_key_changed(STATUS_KEY, SecondCallback), VCONF_ERROR);

    ASSERT_EQ(vconf_ignore_key_changed(STATUS_KEY, FirstCallback), VCONF_OK);
    vconf_set_str(STATUS_KEY, "b");
    ASSERT_TRUE(RunLoopUntil([&] { return plain.values.size() == 2; }));
    EXPECT_EQ(g_first.values.size(), 1u);
    EXPECT_EQ(plain.values[1], "b");
    vconf_ignore_key_changed(STATUS_KEY, Collect);
}

// Values longer than a page: an in-place write would let a reader see a mix or an empty file.
TEST(Vconf, TwoWritersAtOnceAreNeverReadTornOrEmpty) {
    TestDevice device;
    const std::string values[] = {std::string(32 * 1024, 'a') + "-first",
                                  std::string(24 * 1024, 'b') + "-second"};
    ASSERT_EQ(vconf_set_str(STATUS_KEY, values[0].c_str()), VCONF_OK);
    std::vector<pid_t> writers;
    for (const auto& value : values) {
        pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < 1000; ++i)
                vconf_set_str(STATUS_KEY, value.c_str());
            _exit(0);
        }
        writers.push_back(pid);
    }
    int reads = 0, bad = 0, seenSecond = 0;
    for (bool running = true; running;) {
        std::string read = GetStr(STATUS_KEY);
        ++reads;
        if (read != values[0] && read != values[1])
            ++bad;
        if (read == values[1])
            ++seenSecond;
        int status;
        running = waitpid(writers[0], &status, WNOHANG) == 0 ||
                  waitpid(writers[1], &status, WNOHANG) == 0;
    }
    for (pid_t pid : writers)
        waitpid(pid, nullptr, 0);
    EXPECT_EQ(bad, 0) << "of " << reads << " reads";
    EXPECT_GT(seenSecond, 0);
}

}  // namespace
