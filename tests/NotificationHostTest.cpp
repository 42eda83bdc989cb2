// The host's notification service: the hide timer, and events from the console reaching the
// poster's callback on its main loop. What a post journals is shown with the service's own.
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
        notification_h noti = notification_create(NOTI_TYPE_NORMAL);
        notification_set_hide_timeout(noti, hideTimeout);
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

// Two posted with a 1-second hide time-out: the pressed one gets no hide event, the other gets
// event 101 once, after its time. A third, hidden after 3 seconds, shows that no repeat came.
TEST_F(NotificationHost, HideTimeoutDeliversEvent101OnceUnlessAnsweredBefore) {
    std::string pressed = Post(1), left = Post(1), last = Post(3);
    ASSERT_EQ(device.Tvctl("press " + pressed + " 2"), 0);
    ASSERT_TRUE(RunLoopUntil([&] { return g_events.size() == 3; }, 6000));
    EXPECT_EQ(g_userData, this);
    EXPECT_EQ(JournaledEvents(),
              (std::vector<std::string>{pressed + ":1", left + ":101", last + ":101"}));
    auto journal = device.Journal("notification.jsonl");
    EXPECT_GE(journal[4]["ts"].asInt64() - journal[1]["ts"].asInt64(), 500) << "not at once";
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

    id = Post(0);
    tvhost::StopServing();
    EXPECT_EQ(device.Tvctl("hide " + id), 1);
    EXPECT_EQ(JournaledEvents().size(), 6u);  // a refused event is not journaled
}

}  // namespace
