// The console keeps its word: every request either does what it says or is refused with exit
// code 1 (cannot be done) or 2 (bad usage) and a message naming what was wrong. One table for
// them all; then the requests whose effect needs more than one line to show.
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "ChildProcess.h"
#include "HostCore.h"
#include "TestDevice.h"
#include "notification.h"

namespace fs = std::filesystem;

namespace {

struct Row {
    const char* name;
    const char* args;
    int code;
    const char* says;  // words the output must hold
};

void RunRows(const TestDevice& device, std::initializer_list<Row> rows) {
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string output;
        EXPECT_EQ(device.Tvctl(row.args, &output), row.code) << output;
        EXPECT_NE(output.find(row.says), std::string::npos) << output;
    }
}

// Every request either does what it says or is refused with its exit code and reason, in the
// order a session might send them; the notification journal line is written "ts" first, each
// text's members in the documented order.
TEST(Tvctl, EveryRequestIsCarriedOutOrRefusedWithItsReason) {
    TestDevice device;
    RunRows(device,
            {
                {"Help", "help", 0, "usage: tvctl [--root DIR] COMMAND"},
                {"CommandHelp", "store play --help", 0, "usage: tvctl store play [OPTIONS]"},
                {"UnknownCommand", "store frob", 2, "tvctl: unknown command 'store frob'"},
                {"UnknownOption", "--frob ps", 2, "tvctl: unknown option '--frob'"},
                {"NoCommand", "", 2, "tvctl: no command given"},
                {"EmptyRoot", "--root '' init --force", 2, "tvctl: --root is empty"},
                {"RootWithoutDirectory", "--root", 2, "tvctl: --root needs a directory"},
                {"NoRootThere", "--root /nonexistent/tv ps", 1,
                 "tvctl: no provisioned device root at /nonexistent/tv (run: tvctl init)"},
                {"InitAgain", "init", 1, "tvctl: a device root is already provisioned at"},
                {"InitExtra", "init --force now", 2, "tvctl: init: unexpected argument 'now'"},
                {"Boot", "boot", 0, "cold start"},
                {"StopBadId", "stop ../x", 2, "tvctl: stop: bad application id '../x'"},
                {"StopNotRunning", "stop com.talvoro.tv.brenwick", 1,
                 "com.talvoro.tv.brenwick is not running"},
                {"LogTagMissing", "log --tag", 2, "tvctl: log: --tag needs a TAG"},
            });
    std::string output;
    EXPECT_EQ(device.Shell("TV_DEVICE_ROOT= " + std::string(TVCTL_BIN) + " ps", &output), 2);
    EXPECT_NE(output.find("TV_DEVICE_ROOT is set but empty"), std::string::npos) << output;

    device.Write("kdb/db/bad", "i:seven");
    notification_h noti = notification_create(NOTI_TYPE_NORMAL);
    notification_set_text(noti, NOTI_TEXT_TITLE, "Title", "TITLE", NOTI_VARIABLE_TYPE_NONE);
    ASSERT_EQ(notification_post(noti), NOTI_OK);
    notification_free(noti);
    RunRows(
        device,
        {
            {"GetAbsent", "get db/absent/key", 1, "tvctl: db/absent/key is not set"},
            {"GetMalformed", "get db/bad", 1, "tvctl: malformed value in kdb/db/bad"},
            {"GetBadName", "get db//x", 2, "tvctl: get: bad key name 'db//x'"},
            {"GetMissing", "get", 2, "tvctl: get: KEY is missing"},
            {"SetLeadingZero", "set -t int db/x/y 007", 2,
             "tvctl: set: VALUE must be a decimal integer from -2147483648 to 2147483647, got "
             "'007'"},
            {"SetBadType", "set -t float db/x/y 1", 2,
             "tvctl: set: -t must be string or int, got 'float'"},
            {"SetValueMissing", "set db/x/y", 2, "tvctl: set: VALUE is missing"},
            {"SetInt", "set -t int db/x/y -12", 0, "db/x/y = -12"},
            {"SetString", "set db/x/z ' 007'", 0, "db/x/z =  007"},
            {"UnsetAbsent", "unset db/absent/key", 1, "tvctl: db/absent/key is not set"},
            {"Unset", "unset db/x/z", 0, "db/x/z removed"},
            {"InstallMissing", "install", 2, "tvctl: install: APPID is missing"},
            {"InstallBadId", "install com.a ../b", 2, "tvctl: install: bad application id '../b'"},
            {"Install", "install com.a com.b", 0, "installed com.b"},
            {"UninstallAbsent", "uninstall com.a com.absent", 1,
             "tvctl: com.absent is not installed; nothing was uninstalled"},
            {"Uninstall", "uninstall com.b", 0, "uninstalled com.b"},
            {"LaunchMissing", "launch", 2, "tvctl: launch: APPID is missing"},
            {"LaunchBadExtra", "launch com.a Caller", 2,
             "tvctl: launch: extra data must be KEY=VALUE with a non-empty KEY, got 'Caller'"},
            {"LaunchNotRunning", "launch com.a k=v", 1,
             "tvctl: com.a is not running; nothing was sent"},
            {"Journal", "notifications", 0,
             R"(,"texts":[{"type":0,"text":"Title","key":"TITLE"}],)"},
            {"PressLetter", "press 1 y", 2, "tvctl: press: BUTTON must be 1, 2 or 3, got 'y'"},
            {"PressZeroId", "press 0 1", 2,
             "tvctl: press: ID must be a decimal integer from 1 to 2147483647, got '0'"},
            {"PressAbsent", "press 9 1", 1, "tvctl: no notification 9"},
            {"PressNoCallback", "press 1 2", 0, "has no event callback: event 1 goes nowhere"},
            {"HideHow", "hide 1 sideways", 2,
             "tvctl: hide: HOW must be user, timeout or other, got 'sideways'"},
            {"PowerNotANumber", "power x 1", 2,
             "tvctl: power: PREVIOUS must be a decimal integer from -2147483648 to 2147483647"},
            {"PowerNobody", "power 1 3", 1, "no running application subscribed"},
            {"PkgBadId", "pkg set a/b 1.0", 2, "tvctl: pkg set: bad package id 'a/b'"},
            {"PkgEmptyVersion", "pkg set p ''", 2, "tvctl: pkg set: VERSION must be one line"},
            {"PkgSet", "pkg set p 2.1", 0, "package p at version 2.1"},
            {"PkgGetAbsent", "pkg get q", 1, "tvctl: package q is not installed"},
            {"PropBadName", "prop set '' x", 2, "tvctl: prop set: bad property name ''"},
            {"PropRmAbsent", "prop rm absent", 1, "tvctl: property absent is not set"},
            {"SyncLeadingZero", "store sync-status 02", 2,
             "tvctl: store sync-status: N must be a decimal integer"},
            {"Sync", "store sync-status 5", 0, "store sync status 5"},
            {"MajorInfoUnreadable", "store major-info /nonexistent", 1,
             "tvctl: cannot read /nonexistent"},
            {"PlayInfinite", "store play --step-delay inf", 2,
             "tvctl: store play: --step-delay must be a decimal number of seconds from 0 to 86400, "
             "got 'inf'"},
            {"PlayNan", "store play --step-delay nan", 2, "got 'nan'"},
            {"PlayNegative", "store serve --step-delay -1", 2, "tvctl: store serve: --step-delay"},
            {"PlayFraction", "store play --max-retry 2.7", 2,
             "tvctl: store play: --max-retry must be a decimal integer from 0 to 2147483647, got "
             "'2.7'"},
            {"PlayFail", "store play --fail never", 2,
             "--fail must be download, install or space, got 'never'"},
            {"PlayValueMissing", "store play --id", 2, "tvctl: store play: --id needs a value"},
            {"PlayUnknown", "store play --frob 1", 2, "tvctl: store play: unknown option '--frob'"},
            {"PlayNoService", "store play", 1, "tvctl: com.talvoro.tv.brenwick is not running"},
            {"Typo", "fault add vconf_get_itn -1", 2,
             "tvctl: fault add: unknown call 'vconf_get_itn' (see: tvctl fault calls)"},
            {"Comment", "fault add '#x' -1", 2, "unknown call '#x'"},  // the file would skip it
            {"NullForInt", "fault add vconf_get_int null", 2,
             "vconf_get_int returns an int: RESULT must be a decimal integer"},
            {"Add", "fault add vconf_get_int -1 2", 0, "fault: vconf_get_int returns -1 2 time(s)"},
            {"AddNull", "fault add vconf_get_str null", 0, "fault: vconf_get_str returns null"},
            {"Calls", "fault calls", 0, "\n__dlog_print an int\n"},
            {"CallsUnfaultable", "fault calls", 0, "\n# tv_path_get cannot be made to fail: "},
        });
    EXPECT_EQ(device.Key("db/x/y"), "i:-12");
    EXPECT_FALSE(device.Exists("kdb/db/x/z"));
    EXPECT_TRUE(device.Exists("apps/com.a"));  // kept by the refused uninstall
    EXPECT_FALSE(device.Exists("apps/com.b"));
    EXPECT_EQ(device.Read("log/notification.jsonl").rfind("{\"ts\":", 0), 0u);
    EXPECT_EQ(device.Read("store/sync_status"), "5");
    EXPECT_EQ(device.Read("faults"), "vconf_get_int -1 2\nvconf_get_str null\n");
    RunRows(device, {{"Clear", "fault clear", 0, "fault rules cleared"}});
    EXPECT_FALSE(device.Exists("faults"));
}

// A directory that is not a device root keeps every file; a device root is wiped; a relative
// root is made absolute; an installed tvctl takes the language files installed next to it.
TEST(Tvctl, InitForceWipesOnlyADeviceRoot) {
    TestDevice device;
    device.Write("../home/notes.txt", "keep");
    std::string output;
    EXPECT_EQ(device.Tvctl("--root " + device.Path("../home") + " init --force", &output), 1);
    EXPECT_NE(output.find("is not empty and not a device root (it has no .tvdevice); nothing was "
                          "changed"),
              std::string::npos)
        << output;
    EXPECT_EQ(device.Names("../home"), std::set<std::string>{"notes.txt"});

    device.Write("kdb/db/left/over", "s:x");
    EXPECT_EQ(device.Tvctl("init --force"), 0);
    EXPECT_FALSE(device.Exists("kdb/db/left/over"));
    EXPECT_EQ(device.Read(".tvdevice"), "provisioned\n");

    fs::create_directories(device.Path("../usr/bin"));
    fs::copy_file(TVCTL_BIN, device.Path("../usr/bin/tvctl"));
    device.Write("../usr/share/brenwick/lang/language/xx_XX.json", "{}");
    EXPECT_EQ(device.Shell("cd " + device.Path("..") + " && usr/bin/tvctl --root tv init", &output),
              0);
    EXPECT_NE(output.find("at " + fs::canonical(device.Path("..")).string() + "/tv\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(device.Names("../tv/fs/usr/apps/com.talvoro.tv.brenwick/shared/lang/language"),
              std::set<std::string>{"xx_XX.json"});
}

// Entries of processes that ended go; those of a running application and unknown files stay.
TEST(Tvctl, BootRemovesRunEntriesOfEndedProcesses) {
    TestDevice device;
    ASSERT_EQ(tvhost::ServeApp("com.test.live"), 0);
    for (const char* name :
         {"gone.pid", "gone.sock", "gone.lock", ".tmp.gone.pid.Ab12Cd", "gone.power", "notes.txt"})
        device.Write(std::string("run/") + name, "999999999\n");
    device.Write("run/com.test.live.power", std::to_string(getpid()) + "\n");
    ASSERT_EQ(device.Tvctl("boot"), 0);
    EXPECT_EQ(device.Names("run"),
              (std::set<std::string>{"com.test.live.lock", "com.test.live.pid",
                                     "com.test.live.power", "com.test.live.sock", "notes.txt"}));
    tvhost::StopServing();
}

TEST(Tvctl, ServiceAndConsoleWorkOnARootOf200Characters) {
    TestDevice device(200);
    ASSERT_EQ(device.Root().size(), 200u);
    ServiceProcess service(device);
    ASSERT_TRUE(service.Start()) << device.Log();
    EXPECT_EQ(device.Tvctl("launch com.talvoro.tv.brenwick LaunchReason=Hidden_Key"), 0);
    EXPECT_TRUE(WaitUntil([&] { return device.LogHas("> AppControlReceived => "); }));
    EXPECT_EQ(device.Tvctl("stop com.talvoro.tv.brenwick"), 0);
    EXPECT_EQ(service.WaitExit(), 0);
}

// SIGINT ends it at once, not after the 30 seconds its next step would wait.
TEST(Tvctl, StoreServeEndsAtSigintMidUpdateWithoutWaitingForItsStep) {
    TestDevice device;
    ServiceProcess service(device);
    ASSERT_TRUE(service.Start()) << device.Log();
    BackgroundTvctl serve(device, "store serve --step-delay 30");
    ASSERT_TRUE(WaitUntil([&] { return device.Exists("run/tvctl.store.sock"); }));
    ASSERT_EQ(device.Tvctl("launch com.talvoro.tv.brenwick LaunchReason=CheckUpdateValidation"), 0);
    ASSERT_TRUE(WaitUntil([&] {
        return serve.Output().find("store: priority0_start") != std::string::npos;
    })) << serve.Output();

    ASSERT_EQ(kill(serve.Pid(), SIGINT), 0);
    ASSERT_TRUE(serve.Wait(15000));
    EXPECT_NE(serve.Output().find("store: interrupted after priority0_start; the update stops "
                                  "here\nstore: stopped serving\n"),
              std::string::npos)
        << serve.Output();
    EXPECT_EQ(service.Stop(), 0);
}

}  // namespace
