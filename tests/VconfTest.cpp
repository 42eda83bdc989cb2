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

TEST(Vconf, CallbackRunsOnTheLoopOncePerBurstWithTheLatestValue) {
    TestDevice device;
    Values seen;
    ASSERT_EQ(vconf_notify_key_changed(KEY, Collect, &seen), VCONF_OK);
    for (const char* value : {"a", "b", "c"})
        ASSERT_EQ(vconf_set_str(KEY, value), VCONF_OK);
    EXPECT_TRUE(seen.empty());  // never inside a set
    RunLoopFor(200);
    EXPECT_EQ(seen, Values{"c"});
    ASSERT_EQ(vconf_set_str(KEY, "c"), VCONF_OK);  // the same value still notifies
    EXPECT_TRUE(RunLoopUntil([&] { return seen.size() == 2; }));
    ASSERT_EQ(vconf_ignore_key_changed(KEY, Collect), VCONF_OK);
    ASSERT_EQ(vconf_set_str(KEY, "d"), VCONF_OK);
    RunLoopFor(100);
    EXPECT_EQ(seen, (Values{"c", "c"}));
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
