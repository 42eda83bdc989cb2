// The home update notification as the notification service records it, and the user's
// reactions to it played with the device console.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "HomeUpdateNotification.h"
#include "UpdateFlow.h"

using namespace updateflow;

namespace {

const std::string BIU_STATUS = "memory/pax/priority_biu_status";
const std::string SET_FAILED = "> Failed to set notification";

// Index of the first log line that ends with `text`, or -1.
int LineEndingWith(const TestDevice& device, const std::string& text) {
    std::stringstream lines(device.Log());
    std::string line;
    for (int index = 0; std::getline(lines, line); ++index) {
        if (line.size() >= text.size() &&
            line.compare(line.size() - text.size(), text.size(), text) == 0)
            return index;
    }
    return -1;
}

class HomeUpdateNotificationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(service.served);
        device.Write("store/major_file_info.json", MajorInfo("2.0.0", "normal"));
        // The answers of this test reach the store service's key through the monitor.
        Singleton<UpdateStatusMonitor>::GetInstance();
        Singleton<TriggerHomeVersion>::GetInstance();
    }

    // The id of the one home update notification posted.
    int ShowOne() {
        HomeUpdateNotification::Show();
        std::vector<Json::Value> posts = Posts(device, true);
        return posts.size() == 1 ? posts[0]["id"].asInt() : -1;
    }

    TestDevice device;
    ServiceStandIn service;
};

TEST_F(HomeUpdateNotificationTest, PostsTitleContentAndThreeLocalizedButtons) {
    HomeUpdateNotification::Show();

    std::vector<Json::Value> posts = Posts(device, true);
    ASSERT_EQ(1u, posts.size());
    const Json::Value& post = posts[0];
    EXPECT_EQ(BRENWICK_APP_ID, post["caller"].asString());
    EXPECT_EQ(0, post["type"].asInt());
    const std::vector<std::vector<std::string>> texts = {
        {"0", "Update your Home Screen", "TITLE"},
        {"1", "Experience the latest features by updating your Home now.", "CONTENT"},
        {"13", "Update Later", "UPDATE_LATER"},
        {"14", "Update Now", "UPDATE_NOW"},
        {"15", "Details", "DETAIL"},
    };
    ASSERT_EQ(texts.size(), post["texts"].size());
    for (Json::ArrayIndex i = 0; i < post["texts"].size(); ++i) {
        const Json::Value& text = post["texts"][i];
        EXPECT_EQ(texts[i][0], std::to_string(text["type"].asInt()));
        EXPECT_EQ(texts[i][1], text["text"].asString());
        EXPECT_EQ(texts[i][2], text["key"].asString());
    }
    EXPECT_EQ("[1,2,3]", tvhost::JsonLine(post["buttons"]));
    EXPECT_EQ(1, post["default_button"].asInt());
    EXPECT_EQ(30, post["hide_timeout"].asInt());
    EXPECT_EQ(0, post["delete_timeout"].asInt());
    EXPECT_EQ(0x11, post["applist"].asInt());
    EXPECT_TRUE(post["event_cb"].asBool());
}

// ---- the user's reactions --------------------------------------------------------------------

struct EventRow {
    int event;
    const char* storeBefore;
    const char* storeAfter;
    bool detailsLaunched;
};

const EventRow EVENT_ROWS[] = {
    {0, "priority0_downloaded", "install_later", false},
    {1, "priority0_downloaded", "allow_install", false},
    {2, "priority0_downloaded", "priority0_downloaded", true},
    {100, "priority0_downloaded", "deny_install", false},
    {101, "priority0_downloaded", "deny_install", false},
    {102, "priority0_downloaded", "deny_install", false},
    // Once the store service has its answer, hiding asks nothing more.
    {100, "allow_install", "allow_install", false},
    {101, "priority0_installprogress", "priority0_installprogress", false},
    {3, "priority0_downloaded", "priority0_downloaded", false},
    {99, "priority0_downloaded", "priority0_downloaded", false},
    {103, "priority0_downloaded", "priority0_downloaded", false},
};

class EventTableTest : public HomeUpdateNotificationTest,
                       public ::testing::WithParamInterface<EventRow> {};

// Buttons and hiding as the user causes them with the console; other event numbers as the
// notification service would send them.
int PlayEvent(const TestDevice& device, int id, int event) {
    std::string noti = std::to_string(id);
    if (event >= 0 && event <= 2)
        return device.Tvctl("press " + noti + " " + std::to_string(event + 1));
    if (event == 100)
        return device.Tvctl("hide " + noti + " user");
    if (event == 101)
        return device.Tvctl("hide " + noti + " timeout");
    if (event == 102)
        return device.Tvctl("hide " + noti + " other");
    Json::Value message(Json::objectValue);
    message["kind"] = "notification_event";
    message["id"] = id;
    message["event"] = event;
    return tvhost::SendToApp(BRENWICK_APP_ID, message);
}

TEST_P(EventTableTest, TurnsTheEventIntoAnAnswer) {
    const EventRow& row = GetParam();
    SetKeyQuietly(device, BIU_STATUS, row.storeBefore);
    int id = ShowOne();
    ASSERT_GT(id, 0);

    ASSERT_EQ(0, PlayEvent(device, id, row.event));
    std::string seen = "event_type: " + std::to_string(row.event);
    ASSERT_TRUE(RunLoopUntil([&] { return device.LogHas(seen); }));
    RunLoopFor(100);

    EXPECT_EQ(row.storeAfter, StrKey(device, BIU_STATUS));
    std::vector<Json::Value> details = LaunchesTo(device, HOME_UPDATE_VIEW_APP_ID);
    EXPECT_EQ(row.detailsLaunched ? 1u : 0u, details.size());
}

INSTANTIATE_TEST_SUITE_P(Rows, EventTableTest, ::testing::ValuesIn(EVENT_ROWS),
                         [](const auto& info) {
                             return RowName("event" + std::to_string(info.param.event) + "_" +
                                                info.param.storeBefore,
                                            info.index);
                         });

// ---- the details page ------------------------------------------------------------------------

struct DetailRow {
    const char* cachedVersion;  // nullptr: nothing cached
    const char* description;    // what the details page is given
};

const DetailRow DETAIL_ROWS[] = {
    {"2.0.0", "A brighter Home"},
    {"1.9.0", ""},
    {nullptr, ""},
};

class DetailTableTest : public HomeUpdateNotificationTest,
                        public ::testing::WithParamInterface<DetailRow> {};

TEST_P(DetailTableTest, DetailsCarryTheTargetAndItsCachedDescription) {
    const DetailRow& row = GetParam();
    if (row.cachedVersion) {
        device.Write(TRUSTED + "appDetail",
                     std::string(R"({"rsp":{"stat":"ok","app":{"description":"A brighter Home",)") +
                         R"("version":")" + row.cachedVersion + R"("}}})");
    }
    int id = ShowOne();
    ASSERT_GT(id, 0);

    ASSERT_EQ(0, device.Tvctl("press " + std::to_string(id) + " 3"));
    ASSERT_TRUE(RunLoopUntil([&] { return !LaunchesTo(device, HOME_UPDATE_VIEW_APP_ID).empty(); }));

    std::vector<Json::Value> details = LaunchesTo(device, HOME_UPDATE_VIEW_APP_ID);
    ASSERT_EQ(1u, details.size());
    EXPECT_EQ(std::string("LaunchReason=DetailPopup;appDescription=") + row.description +
                  ";appId=" + HOME_APP_ID + ";appVersion=2.0.0;Caller=" + BRENWICK_APP_ID,
              Extra(details[0]));
}

INSTANTIATE_TEST_SUITE_P(Rows, DetailTableTest, ::testing::ValuesIn(DETAIL_ROWS),
                         [](const auto& info) {
                             return RowName(
                                 std::string(info.param.cachedVersion ? info.param.cachedVersion
                                                                      : "nothing_cached"),
                                 info.index);
                         });

TEST_F(HomeUpdateNotificationTest, DetailsGoAheadWithTheViewInFullScreen) {
    SetKeyQuietly(device, "memory/appfw/current_fullscreen_appid", HOME_UPDATE_VIEW_APP_ID);
    int id = ShowOne();
    ASSERT_GT(id, 0);

    ASSERT_EQ(0, device.Tvctl("press " + std::to_string(id) + " 3"));

    EXPECT_TRUE(RunLoopUntil([&] { return !LaunchesTo(device, HOME_UPDATE_VIEW_APP_ID).empty(); }));
}

// ---- failures while building -----------------------------------------------------------------

struct FaultRow {
    const char* call;
    const char* line;    // the failing step's own log line
    bool setFailedLine;  // followed by "Failed to set notification"
    bool posted;
};

const FaultRow FAULT_ROWS[] = {
    {"notification_create", "Failed to create notification", false, false},
    {"notification_set_text", "Failed to set notification title (retVal:-5)", true, false},
    {"notification_add_button", "Failed to add notification button (1), (retVal:-5)", true, false},
    {"notification_set_default_button", "Failed to set default button (retVal:-5)", true, false},
    {"notification_set_hide_timeout", "Failed to set hide timeout (retVal:-5)", true, false},
    {"notification_set_display_applist", "Failed to set display applist (retVal:-5)", false, false},
    {"notification_post_with_event_cb", "Failed to post notification (retVal:-5)", false, false},
    // Without a delete time-out the notification is still worth posting.
    {"notification_set_delete_timeout", nullptr, false, true},
};

class FaultTableTest : public HomeUpdateNotificationTest,
                       public ::testing::WithParamInterface<FaultRow> {};

TEST_P(FaultTableTest, LogsTheFailingStepAndPostsNothing) {
    const FaultRow& row = GetParam();
    ASSERT_TRUE(tvhost::FaultAdd(row.call, "-5", "1"));

    HomeUpdateNotification::Show();

    EXPECT_EQ(row.posted ? 1u : 0u, Posts(device, true).size());
    int setFailed = LineEndingWith(device, SET_FAILED);
    EXPECT_EQ(row.setFailedLine, setFailed >= 0);
    if (!row.line)
        return;
    int stepLine = LineEndingWith(device, std::string("> ") + row.line);
    ASSERT_GE(stepLine, 0) << row.line;
    if (row.setFailedLine) {
        EXPECT_GT(setFailed, stepLine);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultTableTest, ::testing::ValuesIn(FAULT_ROWS),
                         [](const auto& info) {
                             return RowName(std::string(info.param.call), info.index);
                         });

}  // namespace
