// The home update notification as the notification service records it, and the user's
// reactions to it played with the device console.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HomeUpdateNotification.h"
#include "UpdateFlow.h"

using namespace updateflow;

namespace {

class HomeUpdateNotificationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(service.served);
        device.Write("store/major_file_info.json", MajorInfo("2.0.0", "normal"));
        device.Write(
            TRUSTED + "appDetail",
            R"({"rsp":{"stat":"ok","app":{"description":"A brighter","version":"2.0.0"}}})");
        // The details page is wanted even over the view itself.
        SetKeyQuietly(device, "memory/appfw/current_fullscreen_appid", HOME_UPDATE_VIEW_APP_ID);
        // The answers of this test reach the store service's key through the monitor.
        Singleton<UpdateStatusMonitor>::GetInstance();
        Singleton<TriggerHomeVersion>::GetInstance();
    }

    TestDevice device;
    ServiceStandIn service;
};

TEST_F(HomeUpdateNotificationTest, PostsTitleContentAndThreeLocalizedButtons) {
    HomeUpdateNotification::Show();

    std::vector<Json::Value> posts = Posts(device, true);
    ASSERT_EQ(1u, posts.size());
    const Json::Value& post = posts[0];
    EXPECT_EQ(R"([{"key":"TITLE","text":"Update your Home Screen","type":0},)"
              R"({"key":"CONTENT","text":"Experience the latest features by updating your Home )"
              R"(now.","type":1},{"key":"UPDATE_LATER","text":"Update Later","type":13},)"
              R"({"key":"UPDATE_NOW","text":"Update Now","type":14},)"
              R"({"key":"DETAIL","text":"Details","type":15}])",
              tvhost::JsonLine(post["texts"]));
    EXPECT_EQ("[1,2,3]", tvhost::JsonLine(post["buttons"]));
    EXPECT_EQ(1, post["default_button"].asInt());
    EXPECT_EQ(30, post["hide_timeout"].asInt());
    EXPECT_EQ(0, post["delete_timeout"].asInt());
    EXPECT_EQ(0x11, post["applist"].asInt());
}

// ---- the user's reactions --------------------------------------------------------------------

struct EventRow {
    int event;
    const char* storeBefore;
    const char* storeAfter;  // nullptr: left as it was
    bool detailsLaunched;
};

const EventRow EVENT_ROWS[] = {
    {0, "priority0_downloaded", "install_later", false},
    {1, "priority0_downloaded", "allow_install", false},
    {2, "priority0_downloaded", nullptr, true},
    {100, "priority0_downloaded", "deny_install", false},
    {101, "priority0_downloaded", "deny_install", false},
    {102, "priority0_downloaded", "deny_install", false},
    // Once the store service has moved on, hiding asks nothing more.
    {100, "allow_install", nullptr, false},
    {101, "priority0_installprogress", nullptr, false},
    {3, "priority0_downloaded", nullptr, false},
    {99, "priority0_downloaded", nullptr, false},
    {103, "priority0_downloaded", nullptr, false},
};

class EventTableTest : public HomeUpdateNotificationTest,
                       public ::testing::WithParamInterface<EventRow> {};

// Buttons and hiding as the user causes them with the console; other event numbers as the
// notification service would send them.
int PlayEvent(const TestDevice& device, int id, int event) {
    const std::string noti = std::to_string(id);
    const char* hideReasons[] = {"user", "timeout", "other"};
    if (event >= 0 && event <= 2)
        return device.Tvctl("press " + noti + " " + std::to_string(event + 1));
    if (event >= 100 && event <= 102)
        return device.Tvctl("hide " + noti + " " + hideReasons[event - 100]);
    Json::Value message(Json::objectValue);
    message["kind"] = "notification_event";
    message["id"] = id;
    message["event"] = event;
    return tvhost::SendToApp(BRENWICK_APP_ID, message);
}

TEST_P(EventTableTest, TurnsTheEventIntoAnAnswer) {
    const EventRow& row = GetParam();
    SetKeyQuietly(device, BIU_STATUS, row.storeBefore);
    HomeUpdateNotification::Show();
    std::vector<Json::Value> posts = Posts(device, true);
    ASSERT_EQ(1u, posts.size());

    ASSERT_EQ(0, PlayEvent(device, posts[0]["id"].asInt(), row.event));
    std::string seen = "event_type: " + std::to_string(row.event);
    ASSERT_TRUE(RunLoopUntil([&] { return device.LogHas(seen); }));
    RunLoopFor(100);

    EXPECT_EQ(row.storeAfter ? row.storeAfter : row.storeBefore, StrKey(device, BIU_STATUS));
    std::vector<Json::Value> details = LaunchesTo(device, HOME_UPDATE_VIEW_APP_ID);
    ASSERT_EQ(row.detailsLaunched ? 1u : 0u, details.size());
    if (row.detailsLaunched) {
        EXPECT_EQ("LaunchReason=DetailPopup;appDescription=A brighter;appId=" + HOME_APP_ID +
                      ";appVersion=2.0.0;Caller=" + BRENWICK_APP_ID,
                  Extra(details[0]));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, EventTableTest, ::testing::ValuesIn(EVENT_ROWS));

// ---- failures while building -----------------------------------------------------------------

struct FaultRow {
    const char* call;
    const char* line;    // the failing step's own log line
    bool setFailedLine;  // followed by "Failed to set notification"
};

const FaultRow FAULT_ROWS[] = {
    {"notification_create", "Failed to create notification", false},
    {"notification_set_text", "Failed to set notification title (retVal:-5)", true},
    {"notification_add_button", "Failed to add notification button (1), (retVal:-5)", true},
    {"notification_set_default_button", "Failed to set default button (retVal:-5)", true},
    {"notification_set_hide_timeout", "Failed to set hide timeout (retVal:-5)", true},
    {"notification_set_display_applist", "Failed to set display applist (retVal:-5)", false},
    {"notification_post_with_event_cb", "Failed to post notification (retVal:-5)", false},
};

class FaultTableTest : public HomeUpdateNotificationTest,
                       public ::testing::WithParamInterface<FaultRow> {};

TEST_P(FaultTableTest, LogsTheFailingStepAndPostsNothing) {
    const FaultRow& row = GetParam();
    ASSERT_TRUE(tvhost::FaultAdd(row.call, "-5", "1"));

    HomeUpdateNotification::Show();

    EXPECT_TRUE(Posts(device, true).empty());
    std::string log = device.Log();
    size_t step = log.find(std::string("> ") + row.line + "\n");
    ASSERT_NE(std::string::npos, step) << row.line;
    size_t setFailed = log.find("> Failed to set notification\n");
    EXPECT_EQ(row.setFailedLine, setFailed != std::string::npos);
    if (row.setFailedLine) {
        EXPECT_GT(setFailed, step);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultTableTest, ::testing::ValuesIn(FAULT_ROWS));

TEST_F(HomeUpdateNotificationTest, PostsEvenWithoutADeleteTimeout) {
    ASSERT_TRUE(tvhost::FaultAdd("notification_set_delete_timeout", "-5", "1"));

    HomeUpdateNotification::Show();

    EXPECT_EQ(1u, Posts(device, true).size());
    EXPECT_FALSE(device.LogHas("Failed to set notification"));
}

}  // namespace
