// The console: exit codes, provisioning and cold start, and changes reaching watchers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>

#include "TestDevice.h"
#include "vconf.h"

extern char** environ;

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
        {"unset db/absent/key", 1, "tvctl: db/absent/key is not set"},
        {"stop com.talvoro.tv.brenwick", 1, "tvctl: com.talvoro.tv.brenwick is not running"},
        {"get", 2, "tvctl: usage: tvctl get KEY"},
        {"set -t float k v", 2, "tvctl: usage:"},
        {"set -t int db/x/y seven", 2, "tvctl: 'seven' is not an integer"},
        {"get /db/abs", 2, "tvctl: invalid key name"},
        {"fault add vconf_get_str null 0", 2, "tvctl: TIMES must be a positive integer"},
        {"frobnicate", 2, "tvctl: unknown command 'frobnicate'"},
        {"init", 1, "tvctl: a device root is already provisioned"},
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

TEST(Tvctl, CommandsNeedAProvisionedRoot) {
    TestDevice device;
    const char* commands[] = {
        "get db/dravo/modelid", "set a/b c",          "boot", "ps", "watch a/b",
        "fault clear",          "store sync-status 1"};
    for (const char* command : commands) {
        SCOPED_TRACE(command);
        std::string output;
        EXPECT_EQ(
            device.Tvctl(std::string("--root ") + device.Root() + "/absent " + command, &output),
            1);
        EXPECT_NE(output.find("no provisioned device root at " + device.Root() + "/absent"),
                  std::string::npos)
            << output;
    }
    EXPECT_EQ(device.Tvctl("--root " + device.Root() + "/fresh init"), 0);
    EXPECT_EQ(device.Read("fresh/kdb/db/dravo/modelid"), "s:HT-55Q8");
}

TEST(Tvctl, BootResetsVolatileKeysAndKeepsPersistentOnes) {
    TestDevice device;
    EXPECT_EQ(device.Key("memory/pax/priority_biu_status"), "s:");
    ASSERT_EQ(device.Tvctl("set memory/home/priority_update_status start"), 0);
    ASSERT_EQ(device.Tvctl("set -t int memory/kesh/lumaport_reset_state 1"), 0);
    ASSERT_EQ(device.Tvctl("set memory/extra/key leftover"), 0);
    ASSERT_EQ(device.Tvctl("set db/home/reset_status done"), 0);
    device.Write("run/com.gone.app.pid", "999999999\n");
    device.Write("run/com.gone.app.sock", "");

    ASSERT_EQ(device.Tvctl("boot"), 0);
    EXPECT_EQ(device.Key("memory/home/priority_update_status"), "s:none");
    EXPECT_EQ(device.Key("memory/kesh/lumaport_reset_state"), "i:0");
    EXPECT_EQ(device.Key("memory/appfw/current_fullscreen_appid"), "s:com.talvoro.tv.home");
    EXPECT_FALSE(device.Exists("kdb/memory/extra/key"));
    EXPECT_EQ(device.Key("db/home/reset_status"), "s:done");
    EXPECT_FALSE(device.Exists("run/com.gone.app.pid"));
    EXPECT_FALSE(device.Exists("run/com.gone.app.sock"));

    ASSERT_EQ(device.Tvctl("init --force"), 0);
    EXPECT_EQ(device.Key("db/home/reset_status"), "s:none");
}

// `tvctl watch KEY` in the background, its output in files under the root.
class Watcher {
  public:
    Watcher(const TestDevice& device, const std::string& key) : m_device(device) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, device.Path("watch.out").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, device.Path("watch.err").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const char* argv[] = {TVCTL_BIN, "watch", key.c_str(), nullptr};
        posix_spawn(&m_pid, TVCTL_BIN, &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Watcher() { Stop(); }
    bool Ready() const {
        return RunLoopUntil([&] { return m_device.Read("watch.err").find("watching") == 0; });
    }
    std::string Output() const { return m_device.Read("watch.out"); }
    int Stop() {
        if (m_pid <= 0)
            return -1;
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    const TestDevice& m_device;
    pid_t m_pid = 0;
};

void RecordValue(keynode_t* node, void* data) {
    *static_cast<std::string*>(data) = vconf_keynode_get_str(node);
}

TEST(Tvctl, SetReachesTvctlWatchAndLibraryWatchers) {
    TestDevice device;
    const char* key = "memory/pax/priority_biu_status";
    std::string seenHere;
    ASSERT_EQ(vconf_notify_key_changed(key, RecordValue, &seenHere), VCONF_OK);
    Watcher watcher(device, key);
    ASSERT_TRUE(watcher.Ready()) << device.Read("watch.err");

    ASSERT_EQ(device.Tvctl("set memory/pax/priority_biu_status priority0_downloaded"), 0);
    EXPECT_TRUE(RunLoopUntil([&] { return seenHere == "priority0_downloaded"; }));
    EXPECT_TRUE(RunLoopUntil([&] {
        return watcher.Output() == "memory/pax/priority_biu_status priority0_downloaded\n";
    })) << watcher.Output();
    EXPECT_EQ(watcher.Stop(), 0);
    vconf_ignore_key_changed(key, RecordValue);
}

}  // namespace
