// The console: exit codes and one-line errors, and changes reaching watchers in other processes.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "TestDevice.h"
#include "vconf.h"

namespace {

struct ExitCase {
    const char* args;
    int code;
    const char* says;
};

TEST(Tvctl, ExitCodesAndOneLineErrors) {
    TestDevice device;
    const ExitCase cases[] = {
        {"get db/absent/key", 1, "tvctl: db/absent/key is not set"},
        {"init", 1, "tvctl: a device root is already provisioned"},
        {"set -t int db/x/y seven", 2, "tvctl: set: VALUE must be a decimal integer"},
        {"frobnicate", 2, "tvctl: unknown command 'frobnicate'"},
        {"get db/dravo/countrycode", 0, "GB"},
        {"set -t int db/x/y 12", 0, "db/x/y = 12"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        std::string output;
        EXPECT_EQ(device.Tvctl(c.args, &output), c.code);
        EXPECT_NE(output.find(c.says), std::string::npos) << output;
    }
    EXPECT_EQ(device.Key("db/x/y"), "i:12");
}

void RecordValue(keynode_t* node, void* data) {
    *static_cast<std::string*>(data) = vconf_keynode_get_str(node);
}

TEST(Tvctl, SetReachesTvctlWatchAndLibraryWatchersInOtherProcesses) {
    TestDevice device;
    const std::string key = "memory/pax/priority_biu_status";
    std::string seenHere, pid;
    ASSERT_EQ(vconf_notify_key_changed(key.c_str(), RecordValue, &seenHere), VCONF_OK);
    ASSERT_EQ(device.Tvctl("watch " + key + " >" + device.Path("watch.out") + " 2>" +
                               device.Path("watch.err") + " & echo $!",
                           &pid),
              0);
    struct Stop {
        pid_t pid;
        ~Stop() { kill(pid, SIGTERM); }
    } stop{std::stoi(pid)};
    ASSERT_TRUE(RunLoopUntil([&] { return device.Read("watch.err").find("watching") == 0; }));

    ASSERT_EQ(device.Tvctl("set " + key + " priority0_downloaded"), 0);
    EXPECT_TRUE(RunLoopUntil([&] { return seenHere == "priority0_downloaded"; }));
    EXPECT_TRUE(RunLoopUntil([&] {
        return device.Read("watch.out") == key + " priority0_downloaded\n";
    })) << device.Read("watch.out");
    vconf_ignore_key_changed(key.c_str(), RecordValue);
}

}  // namespace
