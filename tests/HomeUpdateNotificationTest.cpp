// The home update notification as the notification service records it, and the user's
// reactions to it as the notification service delivers them; both notifications' failing steps.

#include "FaultCalls.h"
#include "HomeUpdateNotification.h"
#include "NotifyHiddenMode.h"
#include "UpdateFlow.h"

using namespace updateflow;

namespace {

class HomeUpdateNotificationTest : public UpdateFlowTest {
  protected:
    void SetUp() override {
        UpdateFlowTest::SetUp();
        device.Write(
            TRUSTED + "appDetail",
            R"({"rsp":{"stat":"ok","app":{"description":"A brighter","version":"2.0.0"}}})");
        // The details page is wanted even over the view itself.
        SetKeyQuietly("memory/appfw/current_fullscreen_appid", HOME_UPDATE_VIEW_APP_ID);
        // The answers of this test reach the store service's key through the monitor.
        Singleton<UpdateStatusMonitor>::GetInstance();
    }
};

TEST_F(HomeUpdateNotificationTest, PostsTitleContentAndThreeLocalizedButtons) {
    HomeUpdateNotification::Show();

    std::vector<Json::Value> posts = Posts(true);
    ASSERT_EQ(1u, posts.size());
    EXPECT_EQ(R"([{"key":"TITLE","text":"Update your Home Screen","type":0},)"
              R"({"key":"CONTENT","text":"Experience the latest features by updating your Home )"
              R"(now.","type":1},{"key":"UPDATE_LATER","text":"Update Later","type":13},)"
              R"({"key":"UPDATE_NOW","text":"Update Now","type":14},)"
              R"({"key":"DETAIL","text":"Details","type":15}])",
              tvhost::JsonLine(posts[0]["texts"]));
    EXPECT_EQ("[1,2,3]", tvhost::JsonLine(posts[0]["buttons"]));
    EXPECT_EQ(1, posts[0]["default_button"].asInt());
    EXPECT_EQ(30, posts[0]["hide_timeout"].asInt());
    EXPECT_EQ(0, posts[0]["delete_timeout"].asInt());
    EXPECT_EQ(0x11, posts[0]["applist"].asInt());
}

// ---- the user's reactions --------------------------------------------------------------------

struct EventRow {
    const char* name;
    std::vector<int> events;  // one after the other
    const char* storeBefore;
    const char* storeAfter;  // nullptr: left as it was
    bool detailsLaunched;
};

const EventRow EVENT_ROWS[] = {
    {"LaterPressed", {0}, "priority0_downloaded", "install_later", false},
    {"DetailsPressed", {2}, "priority0_downloaded", nullptr, true},
    // Hidden while the store service waits: the answer is "check next time".
    {"HiddenByTheUser", {100}, "priority0_downloaded", "deny_install", false},
    {"HiddenByItsTimeOut", {101}, "priority0_downloaded", "deny_install", false},
    {"HiddenFromOutside", {102}, "priority0_downloaded", "deny_install", false},
    // Once the store service has moved on, hiding asks nothing more: the notification closes
    // after a press and its hidden event follows.
    {"HiddenAfterTheAnswer", {102}, "allow_install", nullptr, false},
    {"LaterPressedThenHidden", {0, 100}, "priority0_downloaded", "install_later", false},
    {"UnknownEvent3", {3}, "priority0_downloaded", nullptr, false},
    {"UnknownEvent103", {103}, "priority0_downloaded", nullptr, false},
};

class EventTableTest : public HomeUpdateNotificationTest,
                       public ::testing::WithParamInterface<EventRow> {};

TEST_P(EventTableTest, TurnsTheEventIntoAnAnswer) {
    const EventRow& row = GetParam();
    SetKeyQuietly(BIU_STATUS, row.storeBefore);
    HomeUpdateNotification::Show();
    std::vector<Json::Value> posts = Posts(true);
    ASSERT_EQ(1u, posts.size());

    // As the notification service delivers them; the console's buttons are played end to end.
    for (int type : row.events) {
        Json::Value event(Json::objectValue);
        event["kind"] = "notification_event";
        event["id"] = posts[0]["id"];
        event["event"] = type;
        ASSERT_EQ(0, tvhost::SendToApp(BRENWICK_APP_ID, event));
        ASSERT_TRUE(device.Settle(true));
        ASSERT_TRUE(device.LogHas("event_type: " + std::to_string(type)));
    }

    EXPECT_EQ(row.storeAfter ? row.storeAfter : row.storeBefore, StrKey(BIU_STATUS));
    std::string details =
        "LaunchReason=DetailPopup;appDescription=A brighter;appId=" + HOME_APP_ID +
        ";appVersion=2.0.0;Caller=" + BRENWICK_APP_ID + ";\n";
    EXPECT_EQ(row.detailsLaunched ? details : "", ViewLaunches());
    bool checkNextTime = row.storeAfter && std::string(row.storeAfter) == "deny_install";
    EXPECT_EQ(checkNextTime, device.LogHas("P0_Downloaded -> CheckNextTime"));
}

INSTANTIATE_TEST_SUITE_P(Rows, EventTableTest, ::testing::ValuesIn(EVENT_ROWS), RowName());

// ---- failures while building, of the update notification and of the test mode's ------------

struct FaultRow {
    const char* name;
    bool testMode;  // the test mode's notification, not the update notification
    const char* call;
    int after;           // the call fails once after this many calls
    const char* line;    // the failing step's own log line
    bool setFailedLine;  // followed by "Failed to set notification"
};

const FaultRow FAULT_ROWS[] = {
    {"Create", false, "notification_create", 0, "Failed to create notification", false},
    {"SetText", false, "notification_set_text", 0, "Failed to set notification title (retVal:-5)",
     true},
    {"SetContent", false, "notification_set_text", 1,
     "Failed to set notification title (retVal:-5)", true},
    {"AddButton", false, "notification_add_button", 0,
     "Failed to add notification button (1), (retVal:-5)", true},
    {"AddSecondButton", false, "notification_add_button", 1,
     "Failed to add notification button (2), (retVal:-5)", true},
    {"AddThirdButton", false, "notification_add_button", 2,
     "Failed to add notification button (3), (retVal:-5)", true},
    {"SetDefaultButton", false, "notification_set_default_button", 0,
     "Failed to set default button (retVal:-5)", true},
    {"SetHideTimeout", false, "notification_set_hide_timeout", 0,
     "Failed to set hide timeout (retVal:-5)", true},
    {"SetDisplayApplist", false, "notification_set_display_applist", 0,
     "Failed to set display applist (retVal:-5)", false},
    {"Post", false, "notification_post_with_event_cb", 0, "Failed to post notification (retVal:-5)",
     false},
    {"TestModeCreate", true, "notification_create", 0, "Failed to create notification", false},
    {"TestModeSetTitle", true, "notification_set_text", 0,
     "Failed to set notification title (retVal:-5)", true},
    {"TestModeSetContent", true, "notification_set_text", 1,
     "Failed to set notification content (retVal:-5)", true},
    {"TestModeSetHideTimeout", true, "notification_set_hide_timeout", 0,
     "Failed to set hide timeout (retVal:-5)", true},
    {"TestModeAddButton", true, "notification_add_button", 0, "Failed to add button (retVal:-5)",
     false},
    {"TestModeSetButtonText", true, "notification_set_text", 2,
     "Failed to set button text (retVal:-5)", false},
    {"TestModeSetDisplayApplist", true, "notification_set_display_applist", 0,
     "Failed to set display applist (retVal:-5)", false},
    {"TestModePost", true, "notification_post", 0, "Failed to post notification (retVal:-5)",
     false},
};

class FaultTableTest : public HomeUpdateNotificationTest,
                       public ::testing::WithParamInterface<FaultRow> {};

TEST_P(FaultTableTest, LogsTheFailingStepFreesTheHandleAndPostsNothing) {
    const FaultRow& row = GetParam();
    if (row.after > 0) {
        ASSERT_TRUE(tvhost::FaultAdd(row.call, "0", std::to_string(row.after)));
    }
    bool handle = tvhost::FindFaultCall(row.call)->result == tvhost::FaultResult::HANDLE;
    ASSERT_TRUE(tvhost::FaultAdd(row.call, handle ? "null" : "-5", "1"));
    // A faulted free still frees; the rule is used up by the one free expected.
    ASSERT_TRUE(tvhost::FaultAdd("notification_free", "0", "1"));

    if (row.testMode)
        NotifyHiddenMode::ShowNotification(HiddenMode::UPDATE_FAILED, "-5");
    else
        HomeUpdateNotification::Show();

    EXPECT_TRUE(device.Journal("notification.jsonl").empty());
    std::string log = device.Log();
    size_t step = log.find(std::string("> ") + row.line + "\n");
    ASSERT_NE(std::string::npos, step) << row.line;
    size_t setFailed = log.find("> Failed to set notification\n");
    EXPECT_EQ(row.setFailedLine, setFailed != std::string::npos && setFailed > step);
    bool freed = device.Read("faults").find("notification_free") == std::string::npos;
    EXPECT_EQ(row.call != std::string("notification_create"), freed);
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultTableTest, ::testing::ValuesIn(FAULT_ROWS), RowName());

}  // namespace
