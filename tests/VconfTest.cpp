// The settings store: key files, typed reads, notification on the main loop, atomic writes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "TestDevice.h"
#include "vconf.h"

namespace {

constexpr const char* KEY = "memory/pax/priority_biu_status";
using Values = std::vector<std::string>;

std::string GetStr(const char* key) {
    char* value = vconf_get_str(key);
    std::string text = value ? value : "<null>";
    free(value);
    return text;
}

void Collect(keynode_t* node, void* data) {
    const char* value = vconf_keynode_get_str(node);
    static_cast<Values*>(data)->push_back(value ? value : "<null>");
}

TEST(Vconf, ReadsAreTypedAndReadsOfAbsentOrOtherTypedKeysFail) {
    TestDevice device;
    ASSERT_EQ(vconf_set_int("db/some/int", 42), VCONF_OK);
    ASSERT_EQ(vconf_set_str("new/deep/str", ""), VCONF_OK);
    EXPECT_EQ(GetStr("new/deep/str"), "");
    EXPECT_EQ(GetStr("db/absent/key"), "<null>");
    EXPECT_EQ(GetStr("db/some/int"), "<null>");
    int value = 7;
    EXPECT_EQ(vconf_get_int("new/deep/str", &value), VCONF_ERROR);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(vconf_get_int("db/some/int", &value), VCONF_OK);
    EXPECT_EQ(value, 42);
}

// Writes close together may reach a watcher as one change: whatever is merged, the latest value
// always arrives and no watcher sees an older value after a newer one. Half of the writes come
// from another process while this one runs its loop.
TEST(Vconf, WatchersGetTheLatestValueAndNeverAnOlderOneAfterANewer) {
    TestDevice device;
    Values seen;
    ASSERT_EQ(vconf_notify_key_changed(KEY, Collect, &seen), VCONF_OK);
    for (int i = 1; i <= 100; ++i) {
        ASSERT_EQ(vconf_set_str(KEY, std::to_string(i).c_str()), VCONF_OK);
        ASSERT_TRUE(seen.empty()) << "never inside a set";
    }
    pid_t writer = fork();
    if (writer == 0) {
        for (int i = 101; i <= 200; ++i)
            vconf_set_str(KEY, std::to_string(i).c_str());
        _exit(0);
    }
    ASSERT_TRUE(RunLoopUntil([&] { return !seen.empty() && seen.back() == "200"; }));
    waitpid(writer, nullptr, 0);
    ASSERT_TRUE(device.Settle());
    for (size_t i = 1; i < seen.size(); ++i)
        ASSERT_LE(std::stoi(seen[i - 1]), std::stoi(seen[i])) << "call " << i;

    size_t calls = seen.size();
    ASSERT_EQ(vconf_set_str(KEY, "200"), VCONF_OK);  // the same value still notifies
    ASSERT_TRUE(RunLoopUntil([&] { return seen.size() > calls; }));
    ASSERT_EQ(vconf_ignore_key_changed(KEY, Collect), VCONF_OK);
    calls = seen.size();
    ASSERT_EQ(vconf_set_str(KEY, "201"), VCONF_OK);
    ASSERT_TRUE(device.Settle());
    EXPECT_EQ(calls, seen.size());
}

// Values longer than a page: an in-place write would let a reader see a mix or an empty file.
TEST(Vconf, TwoWritersAtOnceAreNeverReadTornOrEmpty) {
    TestDevice device;
    const std::string values[] = {std::string(32 * 1024, 'a') + "-first",
                                  std::string(24 * 1024, 'b') + "-second"};
    ASSERT_EQ(vconf_set_str(KEY, values[0].c_str()), VCONF_OK);
    std::vector<pid_t> writers;
    for (const auto& value : values) {
        pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < 1000; ++i)
                vconf_set_str(KEY, value.c_str());
            _exit(0);
        }
        writers.push_back(pid);
    }
    int reads = 0, bad = 0, seenSecond = 0;
    for (bool running = true; running;) {
        std::string read = GetStr(KEY);
        ++reads;
        bad += read != values[0] && read != values[1];
        seenSecond += read == values[1];
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
