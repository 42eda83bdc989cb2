// The host device's settings store and notification service, over a long life: key files, typed
// reads, watches on the main loop that outlive their key's directory, whole writes, and
// notifications that are let go once they have ended. The host keeps its log files open and the
// listings of installed and running applications between calls; what another process changes
// under the root is still seen by the next call.
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "AppControlInternal.h"
#include "ChildProcess.h"
#include "HostCore.h"
#include "TestDevice.h"
#include "VconfInternal.h"
#include "app_control.h"
#include "dlog.h"
#include "notification.h"
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

// What a key file may hold: "s:" and any text, or "i:" and a plain decimal int. Anything else
// is malformed, which the console tells apart from a key that is not set. The key-file fuzz
// target's replayed inputs show the plain cases (an empty string, the int range's low end, a
// leading zero, no type); here, the edges between.
TEST(KeyFile, HoldsATypedValueOrIsMalformed) {
    const std::pair<const char*, const char*> rows[] = {
        {"s:two\nlines", "s:two\nlines"}, {"i:2147483648", "malformed"}, {"i: 7", "malformed"},
        {"i:7\n", "malformed"},           {"i:", "malformed"},           {"", "malformed"},
    };
    for (const auto& [content, shown] : rows) {
        tvhost::KeyValue value = tvhost::ParseKeyFile(content);
        std::string typed = value.type == 's' ? "s:" + value.str : "i:" + std::to_string(value.num);
        EXPECT_EQ(value.malformed ? "malformed" : typed, shown) << content;
    }
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
    int writing = 0;
    for (const auto& value : values) {
        if (fork() == 0) {
            for (int i = 0; i < 1000; ++i)
                vconf_set_str(KEY, value.c_str());
            _exit(0);
        }
        ++writing;
    }
    int reads = 0, bad = 0, seenSecond = 0;
    for (; writing > 0; writing -= waitpid(-1, nullptr, WNOHANG) > 0, ++reads) {
        std::string read = GetStr(KEY);
        bad += read != values[0] && read != values[1];
        seenSecond += read == values[1];
    }
    EXPECT_EQ(bad, 0) << "of " << reads << " reads";
    EXPECT_GT(seenSecond, 0);
}

const struct DirectoryRow {
    const char* name;
    const char* change;  // shell command run in ROOT/kdb while the key is watched
} DIRECTORY_ROWS[] = {
    {"KeyDirectoryRemoved", "rm -rf memory/pax"},
    {"KeyDirectoryRemovedAndMadeAgainEmpty", "rm -rf memory/pax && mkdir memory/pax"},
    {"ParentDirectoryRemoved", "rm -rf memory"},
    {"KeyDirectoryMovedAway", "mv memory/pax memory/pax-old"},
};

class WatchTableTest : public ::testing::TestWithParam<DirectoryRow> {};

// Another process writes the key after its directory was changed under the watchers' feet: this
// process's watcher and the console's `tvctl watch` both hear every write.
TEST_P(WatchTableTest, WatcherHearsEveryLaterWrite) {
    TestDevice device;
    Values seen;
    ASSERT_EQ(vconf_notify_key_changed(KEY, Collect, &seen), VCONF_OK);
    BackgroundTvctl watch(device, std::string("watch ") + KEY);
    ASSERT_TRUE(WaitUntil([&] { return watch.Output().find("watching") == 0; }));
    ASSERT_EQ(device.Shell("cd '" + device.Path("kdb") + "' && " + GetParam().change), 0);
    ASSERT_TRUE(device.Settle());  // the watcher has taken in the change before the writes
    for (const std::string value : {"priority0_start", "priority0_end"}) {
        ASSERT_EQ(device.Tvctl("set " + std::string(KEY) + " " + value), 0);
        EXPECT_TRUE(RunLoopUntil([&] { return !seen.empty() && seen.back() == value; }))
            << value << " never reached the watcher; it saw " << seen.size() << " changes";
        EXPECT_TRUE(WaitUntil([&] {
            return watch.Output().find(KEY + (" " + value)) != std::string::npos;
        })) << watch.Output();
    }
    vconf_ignore_key_changed(KEY, Collect);
}

INSTANTIATE_TEST_SUITE_P(Rows, WatchTableTest, ::testing::ValuesIn(DIRECTORY_ROWS), RowName());

// ---- notifications ----------------------------------------------------------------------------

constexpr const char* POSTER = "com.test.poster";
std::vector<int> g_events;

void OnEvent(notification_h noti, int eventType, void* userData) {
    EXPECT_NE(noti, nullptr);
    EXPECT_EQ(userData, &g_events);
    g_events.push_back(eventType);
}

const struct EndRow {
    const char* name;
    // tvctl commands, ID standing for the notification's id; each delivers one event
    std::vector<std::string> console;
    int hideTimeout;
    int deleteTimeout;
    std::vector<int> events;  // what its callback gets
} END_ROWS[] = {
    // As on a set, a press leaves the notification to be hidden.
    {"PressedThenHiddenByUser", {"press ID 1", "hide ID"}, 0, 0, {0, 100}},
    {"PressedTwiceThenHidden", {"press ID 2", "press ID 3", "hide ID other"}, 0, 0, {1, 2, 102}},
    {"HiddenByTimeOutFromTheConsole", {"hide ID timeout"}, 0, 0, {101}},
    {"HideTimeOut", {}, 1, 0, {101}},
    {"DeleteTimeOutBeforeHiding", {}, 5, 1, {}},
};

class NotificationHost : public ::testing::Test {
  protected:
    void SetUp() override {
        g_events.clear();
        tvhost::SetSelfAppId(POSTER);
        ASSERT_EQ(tvhost::ServeApp(POSTER), 0);
    }
    void TearDown() override { tvhost::StopServing(); }

    // Posts with the callback; the handle is freed here, as callers do.
    std::string Post(int hideTimeout, int deleteTimeout) {
        notification_h noti = notification_create(NOTI_TYPE_NORMAL);
        notification_set_hide_timeout(noti, hideTimeout);
        notification_set_delete_timeout(noti, deleteTimeout);
        EXPECT_EQ(notification_post_with_event_cb(noti, OnEvent, &g_events), NOTI_OK);
        EXPECT_EQ(notification_free(noti), NOTI_OK);
        return device.Journal("notification.jsonl").back()["id"].asString();
    }

    // Events journaled for the notification ID.
    size_t EventsOf(const std::string& id) {
        size_t events = 0;
        for (const auto& entry : device.Entries("notification.jsonl", "op", "event"))
            events += entry["id"].asString() == id;
        return events;
    }

    TestDevice device;
};

class EndTableTest : public NotificationHost, public ::testing::WithParamInterface<EndRow> {};

// Once hidden or deleted, a notification is forgotten: no later timer, console command or
// message reaches its callback. The other one, hidden by its time-out two seconds on, is the later
// event that the absence waits for.
TEST_P(EndTableTest, EndedNotificationIsForgotten) {
    const EndRow& row = GetParam();
    std::string id = Post(row.hideTimeout, row.deleteTimeout);
    std::string other = Post(2, 0);
    std::string record = "notification/" + id + ".json";
    ASSERT_TRUE(device.Exists(record));
    for (std::string command : row.console) {
        size_t before = g_events.size();
        std::string output;
        ASSERT_EQ(device.Tvctl(command.replace(command.find("ID"), 2, id), &output), 0) << output;
        ASSERT_TRUE(RunLoopUntil([&] { return g_events.size() > before; }));
    }
    ASSERT_TRUE(RunLoopUntil([&] { return !device.Exists(record); }, 4000));
    EXPECT_EQ(g_events, row.events);

    std::string output;
    EXPECT_EQ(device.Tvctl("press " + id + " 2", &output), 1) << output;
    EXPECT_EQ(device.Tvctl("hide " + id, &output), 1) << output;
    Json::Value message(Json::objectValue);
    message["kind"] = "notification_event";
    message["id"] = std::stoi(id);
    message["event"] = NOTI_EVENT_BUTTON_1;
    ASSERT_EQ(tvhost::SendToApp(POSTER, message), 0);
    ASSERT_TRUE(RunLoopUntil([&] { return EventsOf(other) == 1; }, 4000));
    std::vector<int> expected = row.events;
    expected.push_back(NOTI_EVENT_HIDDEN_BY_TIMEOUT);
    EXPECT_EQ(g_events, expected);
    EXPECT_EQ(EventsOf(id), row.events.size());
}

INSTANTIATE_TEST_SUITE_P(Rows, EndTableTest, ::testing::ValuesIn(END_ROWS), RowName());

// A poster that has ended gets nothing, and the refused event is not journaled.
TEST_F(NotificationHost, EventsForAPosterThatEndedAreRefused) {
    std::string id = Post(0, 0);
    tvhost::StopServing();
    EXPECT_EQ(device.Tvctl("hide " + id), 1);
    EXPECT_EQ(0u, EventsOf(id));
}

// ---- what another process changes under the root ---------------------------------------------

// The result the launch journal shows for a launch of `appId` with one extra datum.
int Launch(const std::string& appId, const char* reason = "Test") {
    app_control_h handle = nullptr;
    app_control_create(&handle);
    app_control_set_app_id(handle, appId.c_str());
    app_control_add_extra_data(handle, "LaunchReason", reason);
    int result = app_control_send_launch_request(handle, nullptr, nullptr);
    app_control_destroy(handle);
    return result;
}

struct LogMove {
    const char* name;
    const char* command;  // run in the root by another process
    const char* oldLog;   // where the lines written before now are, "" when gone
};

TEST(Changes, LogFilesMovedOrRemovedByAnotherProcessAreMadeAgain) {
    const LogMove moves[] = {
        {"Rotated", "mv log/dlog.log log/dlog.log.1 && mv log/launch.jsonl log/launch.jsonl.1",
         "log/dlog.log.1"},
        {"Removed", "rm log/dlog.log log/launch.jsonl", ""},
        {"DirectoryMoved", "mv log log.old", "log.old/dlog.log"},
        {"DirectoryRemoved", "rm -r log", ""},
    };
    for (const auto& move : moves) {
        SCOPED_TRACE(move.name);
        TestDevice device;
        __dlog_print(LOG_ID_MAIN, DLOG_INFO, "TEST", "before");
        ASSERT_EQ(0, Launch("com.talvoro.tv.syspopup"));
        ASSERT_EQ(0, device.Shell(std::string("cd \"$TV_DEVICE_ROOT\" && ") + move.command));

        __dlog_print(LOG_ID_MAIN, DLOG_INFO, "TEST", "after");
        EXPECT_EQ(0, Launch("com.talvoro.tv.syspopup"));
        EXPECT_TRUE(device.LogHas("): after"));
        EXPECT_FALSE(device.LogHas("): before"));
        EXPECT_EQ(1u, device.Journal("launch.jsonl").size());
        if (*move.oldLog) {
            EXPECT_NE(std::string::npos, device.Read(move.oldLog).find("): before"));
            EXPECT_EQ(std::string::npos, device.Read(move.oldLog).find("): after"));
        }
    }
}

TEST(Changes, ApplicationsInstalledOrStartedMeanwhileAreSeenByTheNextLaunch) {
    TestDevice device;
    EXPECT_EQ(APPCTL_ERR_APP_NOT_FOUND, Launch("com.example.late"));
    ASSERT_EQ(0, device.Tvctl("install com.example.late"));
    EXPECT_EQ(0, Launch("com.example.late"));
    ASSERT_EQ(0, device.Tvctl("uninstall com.example.late"));
    EXPECT_EQ(APPCTL_ERR_APP_NOT_FOUND, Launch("com.example.late"));

    // The service is not running at the first launch; it hears only the one made while it runs.
    const std::string service = "com.talvoro.tv.brenwick";
    EXPECT_EQ(0, Launch(service, "First"));
    ServiceProcess running(device);
    ASSERT_TRUE(running.Start());
    EXPECT_EQ(0, Launch(service, "Second"));
    ASSERT_TRUE(running.Settle());
    ASSERT_EQ(0, running.Stop());
    EXPECT_EQ(0, Launch(service, "Third"));
    EXPECT_FALSE(device.LogHas("Extra Data [LaunchReason] => First"));
    EXPECT_EQ(1, device.LogCount("Extra Data [LaunchReason] => Second"));
    EXPECT_FALSE(device.LogHas("Extra Data [LaunchReason] => Third"));
}

struct LaunchText {
    const char* name;
    std::string text;
    const char* launched;  // the journal's app_id, extra and operation; "" for no request
    const char* caller;    // "" for none
    bool malformed;        // refused whole, as no message of ours
};

// A launch message, as it comes whole over an application's socket, is made into a request: what
// the request holds shows in the launch journal when it is sent on, and in its caller. Text that
// is not one JSON object as the host writes it is refused and reported.
TEST(Messages, LaunchIsReadIntoARequest) {
    const std::string deep = std::string(70, '[') + std::string(70, ']');
    const LaunchText rows[] = {
        {"Whole",
         R"({"app_id":"A","caller":"tvctl","extra":[["a","1"],["b","2"]],"kind":"launch",)"
         R"("operation":"op"})",
         R"({"app_id":"A","extra":[["a","1"],["b","2"]],"operation":"op"})", "tvctl", false},
        {"OddPairsPassedOver",
         R"({"kind":"launch","app_id":"A","extra":[["a","1"],["b"],["c","2","3"],["d",4],"e",)"
         R"(["f","6"]]})",
         R"({"app_id":"A","extra":[["a","1"],["f","6"]],"operation":null})", "", false},
        {"OtherMembersPassedOver",
         R"({"x":{"y":[1,2.5,{"z":null}]},"app_id":"A","operation":null,"caller":7,"extra":{},)"
         R"("kind":"launch"})",
         R"({"app_id":"A","extra":[],"operation":null})", "", false},
        {"NoApplication", R"({"app_id":5,"kind":"launch"})", "", "", false},
        {"Unclosed", R"({"kind":"launch","app_id":"A")", "", "", true},
        {"LastOfTwiceWins", R"({"kind":"launch","app_id":"B","app_id":"A"})",
         R"({"app_id":"A","extra":[],"operation":null})", "", false},
        {"TextAfter", R"({"kind":"launch","app_id":"A"} x)", "", "", true},
        {"Comment", R"(/* c */ {"kind":"launch","app_id":"A"})", "", "", true},
        {"TooDeep", R"({"kind":"launch","app_id":"A","x":)" + deep + "}", "", "", true},
        {"NoObject", R"(["launch"])", "", "", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TestDevice device;
        std::string caller;
        tvhost::SetMessageHandler("launch", [&](const Json::Value& message) {
            app_control_h request = tvhost::AppControlFromMessage(message);
            if (!request)
                return;
            char* text = nullptr;
            if (app_control_get_caller(request, &text) == APPCTL_OK)
                caller = text;
            free(text);
            app_control_send_launch_request(request, nullptr, nullptr);
            app_control_destroy(request);
        });
        tvhost::DispatchMessage(row.text);
        tvhost::SetMessageHandler("launch", nullptr);
        EXPECT_EQ(row.malformed, device.LogHas("ignoring a malformed message"));
        EXPECT_EQ(row.caller, caller);
        std::vector<Json::Value> launches = device.Journal("launch.jsonl");
        ASSERT_EQ(*row.launched ? 1u : 0u, launches.size());
        if (launches.empty())
            continue;
        Json::Value launched(Json::objectValue);
        for (const char* member : {"app_id", "extra", "operation"})
            launched[member] = launches[0][member];
        EXPECT_EQ(row.launched, tvhost::JsonLine(launched));
    }
}

size_t OpenDescriptors() {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        count += entry.path().filename().string()[0] != '.';
    return count;
}

// Messages sent one after the other are handled in that order, also when the first sender is
// still writing as the next message comes whole.
TEST(Messages, AreHandledInTheOrderSent) {
    TestDevice device;
    ASSERT_EQ(0, tvhost::ServeApp("com.test.order"));
    std::vector<std::string> handled;
    tvhost::SetMessageHandler(
        "order", [&](const Json::Value& message) { handled.push_back(message["n"].asString()); });
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = device.Path("run/com.test.order.sock");
    ASSERT_LT(path.size(), sizeof address.sun_path);
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int first = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(0, connect(first, reinterpret_cast<sockaddr*>(&address), sizeof address));
    size_t connected = OpenDescriptors();
    ASSERT_TRUE(RunLoopUntil([&] { return OpenDescriptors() > connected; }));  // taken in
    Json::Value second;
    second["kind"] = "order";
    second["n"] = "2";
    ASSERT_EQ(0, tvhost::SendToApp("com.test.order", second));
    std::string text = R"({"kind":"order","n":"1"})";
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(first, text.data(), text.size()));
    close(first);
    EXPECT_TRUE(RunLoopUntil([&] { return handled.size() == 2; }));
    EXPECT_EQ((Values{"1", "2"}), handled);
    tvhost::SetMessageHandler("order", nullptr);
    tvhost::StopServing();
}

}  // namespace
