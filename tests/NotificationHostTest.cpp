// The host's notification service: the post journal, the hide timer, and events from the
// console reaching the poster's callback on its main loop.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "HostCore.h"
#include "TestDevice.h"
#include "notification.h"

namespace {

constexpr const char* POSTER = "com.test.poster";

std::vector<int> g_events;
void* g_userData = nullptr;

void OnEvent(notification_h noti, int eventType, void* userData) {
    EXPECT_NE(noti, nullptr);
    g_events.push_back(eventType);
    g_userData = userData;
}

// A notification as the service builds it; the hide time-out is the test's.
notification_h Build(int hideTimeout) {
    notification_h noti = notification_create(NOTI_TYPE_NORMAL);
    EXPECT_NE(noti, nullptr);
    EXPECT_EQ(notification_set_text(noti, NOTI_TEXT_TITLE, "old title", "TITLE", -1), NOTI_OK);
    EXPECT_EQ(notification_set_text(noti, NOTI_TEXT_CONTENT, "Body", "CONTENT", -1), NOTI_OK);
    EXPECT_EQ(notification_set_text(noti, NOTI_TEXT_TITLE, "Title", "TITLE", -1), NOTI_OK);
    for (auto button : {NOTI_BUTTON_1, NOTI_BUTTON_2, NOTI_BUTTON_3})
        EXPECT_EQ(notification_add_button(noti, button), NOTI_OK);
    EXPECT_EQ(notification_set_text(noti, NOTI_TEXT_BUTTON_1, "Later", "UPDATE_LATER", -1),
              NOTI_OK);
    EXPECT_EQ(notification_set_default_button(noti, NOTI_BUTTON_1), NOTI_OK);
    EXPECT_EQ(notification_set_hide_timeout(noti, hideTimeout), NOTI_OK);
    EXPECT_EQ(notification_set_delete_timeout(noti, 0), NOTI_OK);
    EXPECT_EQ(notification_set_display_applist(noti, NOTI_DISPLAY_TRAY | NOTI_DISPLAY_ACTIVE),
              NOTI_OK);
    return noti;
}

std::vector<Json::Value> Events(const TestDevice& device) {
    std::vector<Json::Value> events;
    for (const auto& line : device.Journal("notification.jsonl")) {
        if (line["op"] == "event")
            events.push_back(line);
    }
    return events;
}

class NotificationHost : public ::testing::Test {
  protected:
    void SetUp() override {
        g_events.clear();
        g_userData = nullptr;
        tvhost::SetSelfAppId(POSTER);
        ASSERT_EQ(tvhost::ServeApp(POSTER), 0);
    }
    void TearDown() override { tvhost::StopServing(); }

    // Posts with the callback and user data `this`; the handle is freed here, as callers do.
    int Post(int hideTimeout) {
        notification_h noti = Build(hideTimeout);
        EXPECT_EQ(notification_post_with_event_cb(noti, OnEvent, this), NOTI_OK);
        EXPECT_EQ(notification_free(noti), NOTI_OK);
        return device.Journal("notification.jsonl").back()["id"].asInt();
    }

    TestDevice device;
};

TEST_F(NotificationHost, PostJournalsTheWholeNotificationWithAFreshId) {
    notification_h noti = Build(30);
    ASSERT_EQ(notification_post_with_event_cb(noti, OnEvent, nullptr), NOTI_OK);
    ASSERT_EQ(notification_post(noti), NOTI_OK);
    notification_free(noti);

    auto lines = device.Journal("notification.jsonl");
    ASSERT_EQ(lines.size(), 2u);
    Json::Value texts(Json::arrayValue);
    for (auto text : {std::vector<std::string>{"0", "Title", "TITLE"},
                      {"1", "Body", "CONTENT"},
                      {"13", "Later", "UPDATE_LATER"}}) {
        Json::Value entry;
        entry["type"] = std::stoi(text[0]);
        entry["text"] = text[1];
        entry["key"] = text[2];
        texts.append(entry);
    }
    const Json::Value& first = lines[0];
    EXPECT_EQ(first["op"], "post");
    EXPECT_EQ(first["id"], 1);
    EXPECT_EQ(first["caller"], POSTER);
    EXPECT_EQ(first["type"], 0);
    EXPECT_EQ(first["texts"], texts);
    EXPECT_EQ(tvhost::JsonLine(first["buttons"]), "[1,2,3]");
    EXPECT_EQ(first["default_button"], 1);
    EXPECT_EQ(first["hide_timeout"], 30);
    EXPECT_EQ(first["delete_timeout"], 0);
    EXPECT_EQ(first["applist"], 17);
    EXPECT_EQ(first["event_cb"], true);
    EXPECT_EQ(lines[1]["id"], 2);
    EXPECT_EQ(lines[1]["event_cb"], false);
    EXPECT_EQ(lines[1]["texts"], texts);
}

TEST_F(NotificationHost, HideTimeoutDeliversEvent101OnceOnTheLoop) {
    int id = Post(1);
    RunLoopFor(200);
    EXPECT_TRUE(g_events.empty());  // not before its time
    ASSERT_TRUE(RunLoopUntil([] { return !g_events.empty(); }, 4000));
    RunLoopFor(1500);
    EXPECT_EQ(g_events, std::vector<int>{NOTI_EVENT_HIDDEN_BY_TIMEOUT});
    EXPECT_EQ(g_userData, this);
    auto events = Events(device);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["id"], id);
    EXPECT_EQ(events[0]["event"], 101);
}

TEST_F(NotificationHost, PressBeforeTheTimeoutCancelsTheHideEvent) {
    int id = Post(1);
    ASSERT_EQ(device.Tvctl("press " + std::to_string(id) + " 2"), 0);
    ASSERT_TRUE(RunLoopUntil([] { return !g_events.empty(); }));
    RunLoopFor(2500);
    EXPECT_EQ(g_events, std::vector<int>{NOTI_EVENT_BUTTON_2});
}

struct ConsoleEvent {
    const char* args;  // after "ID"
    int event;
};

void PrintTo(const ConsoleEvent& c, std::ostream* os) {
    *os << c.args;
}

class ConsoleEvents : public NotificationHost,
                      public ::testing::WithParamInterface<ConsoleEvent> {};

TEST_P(ConsoleEvents, ReachTheCallbackAndAreJournaled) {
    int id = Post(0);
    std::string args = GetParam().args;
    args.replace(args.find("ID"), 2, std::to_string(id));
    std::string output;
    ASSERT_EQ(device.Tvctl(args, &output), 0) << output;
    ASSERT_TRUE(RunLoopUntil([] { return !g_events.empty(); }));
    EXPECT_EQ(g_events, std::vector<int>{GetParam().event});
    auto events = Events(device);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["id"], id);
    EXPECT_EQ(events[0]["event"], GetParam().event);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConsoleEvents,
    ::testing::Values(ConsoleEvent{"press ID 1", 0}, ConsoleEvent{"press ID 2", 1},
                      ConsoleEvent{"press ID 3", 2}, ConsoleEvent{"hide ID", 100},
                      ConsoleEvent{"hide ID timeout", 101}, ConsoleEvent{"hide ID other", 102}));

TEST_F(NotificationHost, EventsForUnknownIdsOrEndedPostersFail) {
    int id = Post(0);
    std::string output;
    EXPECT_EQ(device.Tvctl("press " + std::to_string(id + 1) + " 1", &output), 1) << output;
    EXPECT_EQ(device.Tvctl("press " + std::to_string(id) + " 4", &output), 2) << output;
    tvhost::StopServing();
    EXPECT_EQ(device.Tvctl("hide " + std::to_string(id), &output), 1) << output;
    EXPECT_NE(output.find("not running"), std::string::npos) << output;
    RunLoopFor(100);
    EXPECT_TRUE(g_events.empty());
    EXPECT_TRUE(Events(device).empty());
}

}  // namespace
