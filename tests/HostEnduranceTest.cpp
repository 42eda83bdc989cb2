// The host device over a long life: a watch outlives its key's directory, and the notification
// service lets go of the notifications that have ended.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "HostCore.h"
#include "TestDevice.h"
#include "notification.h"
#include "vconf.h"

namespace {

constexpr const char* KEY = "memory/pax/priority_biu_status";
using Values = std::vector<std::string>;

void Collect(keynode_t* node, void* data) {
    const char* value = vconf_keynode_get_str(node);
    static_cast<Values*>(data)->push_back(value ? value : "<absent>");
}

struct DirectoryRow {
    const char* name;
    const char* change;  // shell command run in ROOT/kdb while the key is watched
};

const DirectoryRow DIRECTORY_ROWS[] = {
    {"KeyDirectoryRemoved", "rm -rf memory/pax"},
    {"KeyDirectoryRemovedAndMadeAgainEmpty", "rm -rf memory/pax && mkdir memory/pax"},
    {"ParentDirectoryRemoved", "rm -rf memory"},
    {"KeyDirectoryMovedAway", "mv memory/pax memory/pax-old"},
};

void PrintTo(const DirectoryRow& row, std::ostream* out) {
    *out << row.name;
}

class WatchTableTest : public ::testing::TestWithParam<DirectoryRow> {};

// Another process writes the key after its directory was changed under the watcher's feet.
TEST_P(WatchTableTest, WatcherHearsEveryLaterWrite) {
    TestDevice device;
    Values seen;
    ASSERT_EQ(vconf_notify_key_changed(KEY, Collect, &seen), VCONF_OK);
    ASSERT_EQ(device.Shell(std::string("cd '") + device.Path("kdb") + "' && " + GetParam().change),
              0);
    ASSERT_TRUE(device.Settle());  // the watcher has taken in the change before the writes
    for (const char* value : {"priority0_start", "priority0_end"}) {
        ASSERT_EQ(device.Tvctl(std::string("set ") + KEY + " " + value), 0);
        EXPECT_TRUE(RunLoopUntil([&] { return !seen.empty() && seen.back() == value; }))
            << value << " never reached the watcher; it saw " << seen.size() << " changes";
    }
    vconf_ignore_key_changed(KEY, Collect);
}

INSTANTIATE_TEST_SUITE_P(Rows, WatchTableTest, ::testing::ValuesIn(DIRECTORY_ROWS),
                         [](const auto& row) { return std::string(row.param.name); });

// ---- notifications ----------------------------------------------------------------------------

constexpr const char* POSTER = "com.test.poster";

std::vector<int> g_events;

void OnEvent(notification_h, int eventType, void*) {
    g_events.push_back(eventType);
}

struct EndRow {
    const char* name;
    const char* console;  // tvctl command with ID for the notification's id; "" for a time-out
    int hideTimeout;
    int deleteTimeout;
    std::vector<int> events;  // what its callback gets
};

const EndRow END_ROWS[] = {
    {"ButtonPressed", "press ID 2", 0, 0, {NOTI_EVENT_BUTTON_2}},
    {"HiddenByUser", "hide ID", 0, 0, {NOTI_EVENT_HIDDEN_BY_USER}},
    {"HiddenFromOutside", "hide ID other", 0, 0, {NOTI_EVENT_HIDDEN_BY_EXTERNAL}},
    {"HideTimeOut", "", 1, 0, {NOTI_EVENT_HIDDEN_BY_TIMEOUT}},
    {"DeleteTimeOutBeforeHiding", "", 5, 1, {}},
};

void PrintTo(const EndRow& row, std::ostream* out) {
    *out << row.name;
}

class EndTableTest : public ::testing::TestWithParam<EndRow> {
  protected:
    void SetUp() override {
        g_events.clear();
        tvhost::SetSelfAppId(POSTER);
        ASSERT_EQ(tvhost::ServeApp(POSTER), 0);
    }
    void TearDown() override { tvhost::StopServing(); }

    std::string Post(int hideTimeout, int deleteTimeout) {
        notification_h noti = notification_create(NOTI_TYPE_NORMAL);
        notification_set_text(noti, NOTI_TEXT_TITLE, "Title", "TITLE", -1);
        notification_add_button(noti, NOTI_BUTTON_2);
        notification_set_hide_timeout(noti, hideTimeout);
        notification_set_delete_timeout(noti, deleteTimeout);
        EXPECT_EQ(notification_post_with_event_cb(noti, OnEvent, nullptr), NOTI_OK);
        notification_free(noti);
        return device.Journal("notification.jsonl").back()["id"].asString();
    }

    size_t JournaledEvents(const std::string& id) {
        size_t events = 0;
        for (const auto& entry : device.Journal("notification.jsonl"))
            events += entry["op"] == "event" && entry["id"].asString() == id;
        return events;
    }

    TestDevice device;
};

TEST_P(EndTableTest, EndedNotificationIsForgotten) {
    const EndRow& row = GetParam();
    std::string id = Post(row.hideTimeout, row.deleteTimeout);
    std::string other = Post(0, 0);
    std::string record = "notification/" + id + ".json";
    ASSERT_TRUE(device.Exists(record));
    std::string command = row.console;
    if (!command.empty()) {
        ASSERT_EQ(device.Tvctl(command.replace(command.find("ID"), 2, id)), 0);
    }
    ASSERT_TRUE(RunLoopUntil([&] { return !device.Exists(record); }, 4000));
    EXPECT_EQ(g_events, row.events);

    // Neither the console nor a message straight to the poster reaches it any more; the event
    // for the other notification, sent after, is handled after the stale one.
    std::string output;
    EXPECT_EQ(device.Tvctl("press " + id + " 2", &output), 1) << output;
    for (const std::string& target : {id, other}) {
        Json::Value message(Json::objectValue);
        message["kind"] = "notification_event";
        message["id"] = std::stoi(target);
        message["event"] = NOTI_EVENT_BUTTON_1;
        ASSERT_EQ(tvhost::SendToApp(POSTER, message), 0);
    }
    ASSERT_TRUE(RunLoopUntil([&] { return JournaledEvents(other) == 1; }));
    EXPECT_EQ(JournaledEvents(id), row.events.size());
    std::vector<int> expected = row.events;
    expected.push_back(NOTI_EVENT_BUTTON_1);
    EXPECT_EQ(g_events, expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, EndTableTest, ::testing::ValuesIn(END_ROWS),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
