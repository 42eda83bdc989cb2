// The host's notification service: the post journal, the hide timer, and events from the
// console reaching the poster's callback on its main loop.
#include <gtest/gtest.h>

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
    notification_set_text(noti, NOTI_TEXT_TITLE, "old title", "TITLE", -1);
    notification_set_text(noti, NOTI_TEXT_CONTENT, "Body", "CONTENT", -1);
    notification_set_text(noti, NOTI_TEXT_TITLE, "Title", "TITLE", -1);
    notification_add_button(noti, NOTI_BUTTON_1);
    notification_add_button(noti, NOTI_BUTTON_2);
    notification_set_text(noti, NOTI_TEXT_BUTTON_1, "Later", "UPDATE_LATER", -1);
    notification_set_default_button(noti, NOTI_BUTTON_1);
    notification_set_hide_timeout(noti, hideTimeout);
    notification_set_delete_timeout(noti, 0);
    notification_set_display_applist(noti, NOTI_DISPLAY_TRAY | NOTI_DISPLAY_ACTIVE);
    return noti;
}

class NotificationHost : public ::testing::Test {
  protected:
    void SetUp() override {
        g_events.clear();
        tvhost::SetSelfAppId(POSTER);
        ASSERT_EQ(tvhost::ServeApp(POSTER), 0);
    }
    void TearDown() override { tvhost::StopServing(); }

    // Posts with the callback and user data `this`; the handle is freed here, as callers do.
    std::string Post(int hideTimeout) {
        notification_h noti = Build(hideTimeout);
        EXPECT_EQ(notification_post_with_event_cb(noti, OnEvent, this), NOTI_OK);
        EXPECT_EQ(notification_free(noti), NOTI_OK);
        return device.Journal("notification.jsonl").back()["id"].asString();
    }

    // "ID:EVENT" of every journaled event.
    std::vector<std::string> JournaledEvents() const {
        std::vector<std::string> events;
        for (const auto& line : device.Journal("notification.jsonl")) {
            if (line["op"] == "event")
                events.push_back(line["id"].asString() + ":" + line["event"].asString());
        }
        return events;
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
    lines[0].removeMember("ts");
    EXPECT_EQ(tvhost::JsonLine(lines[0]),
              R"({"applist":17,"buttons":[1,2],"caller":"com.test.poster","default_button":1,)"
              R"("delete_timeout":0,"event_cb":true,"hide_timeout":30,"id":1,"op":"post",)"
              R"("texts":[{"key":"TITLE","text":"Title","type":0},{"key":"CONTENT","text":)"
              R"("Body","type":1},{"key":"UPDATE_LATER","text":"Later","type":13}],"type":0})");
    EXPECT_EQ(lines[1]["id"], 2);
    EXPECT_EQ(lines[1]["event_cb"], false);
}

// Two posted with a 1-second hide time-out: the pressed one gets no hide event, the other
// gets event 101 about a second later, once.
TEST_F(NotificationHost, HideTimeoutDeliversEvent101OnceUnlessAnsweredBefore) {
    std::string pressed = Post(1), left = Post(1);
    ASSERT_EQ(device.Tvctl("press " + pressed + " 2"), 0);
    RunLoopFor(300);
    EXPECT_EQ(g_events, std::vector<int>{NOTI_EVENT_BUTTON_2});  // not before its time
    ASSERT_TRUE(RunLoopUntil([] { return g_events.size() == 2; }, 4000));
    RunLoopFor(1500);
    EXPECT_EQ(g_events, (std::vector<int>{NOTI_EVENT_BUTTON_2, NOTI_EVENT_HIDDEN_BY_TIMEOUT}));
    EXPECT_EQ(g_userData, this);
    EXPECT_EQ(JournaledEvents(), (std::vector<std::string>{pressed + ":1", left + ":101"}));
}

TEST_F(NotificationHost, ConsoleEventsReachTheCallbackUntilThePosterEnds) {
    const char* commands[][2] = {{"press", "1"}, {"press", "2"},      {"press", "3"},
                                 {"hide", ""},   {"hide", "timeout"}, {"hide", "other"}};
    std::string id;
    // Each event ends its notification: one notification per event.
    for (const auto& c : commands) {
        id = Post(0);
        ASSERT_EQ(device.Tvctl(std::string(c[0]) + " " + id + " " + c[1]), 0) << c[0] << c[1];
    }
    ASSERT_TRUE(RunLoopUntil([] { return g_events.size() == 6; }));
    EXPECT_EQ(g_events, (std::vector<int>{0, 1, 2, 100, 101, 102}));
    EXPECT_EQ(JournaledEvents().back(), id + ":102");

    std::string output;
    EXPECT_EQ(device.Tvctl("press " + id + "9 1"), 1);
    EXPECT_EQ(device.Tvctl("press " + id + " 4"), 2);
    id = Post(0);
    tvhost::StopServing();
    EXPECT_EQ(device.Tvctl("hide " + id, &output), 1);
    EXPECT_NE(output.find("not running"), std::string::npos) << output;
    EXPECT_EQ(JournaledEvents().size(), 6u);  // refused events are not journaled
}

}  // namespace
