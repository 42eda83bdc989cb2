// The update manager driven through the settings store of a test device, with the real status
// monitor, retry counters, target version and host platform; what it did is read back from the
// journals, keys, files and the platform log.
#include <gmock/gmock.h>

#include <sstream>

#include "UpdateFlow.h"

using namespace updateflow;

namespace {

const std::string HOME_STATUS = "memory/home/priority_update_status";
const std::string CALLER = std::string(";Caller=") + BRENWICK_APP_ID + ";";
const std::string STOP = "LaunchReason=StopUI;PriorityUpdate=true;StopUI=";
const std::string USER_FILE = DATA + "user_retry.txt";
const std::string REQUEST_FILE = DATA + "request_retry.txt";

class UpdateManagerTest : public UpdateFlowTest {
  protected:
    void SetUp() override {
        UpdateFlowTest::SetUp();
        // Counters that were given an older target: each case shows how they move from here.
        device.Write(USER_FILE, "1\n3\n1.5.0|normal\n");
        device.Write(REQUEST_FILE, "1\n6\n1.5.0|normal\n");
        // The test mode tells how an update ended.
        device.Write(DATA + "hidden_mode", "");
    }

    void StartManager() { Singleton<UpdateManager>::GetInstance(); }
    // Null `content` removes the file, so that whatever it holds cannot be read.
    void WriteOrRemove(const std::string& path, const char* content) {
        if (content)
            device.Write(path, content);
        else
            device.Remove(path);
    }
    // "count/limit@version" of a retry counter file.
    std::string Counter(const std::string& file) {
        std::stringstream lines(device.Read(file));
        std::string count, limit, target;
        std::getline(lines, count);
        std::getline(lines, limit);
        std::getline(lines, target);
        return count + "/" + limit + "@" + target.substr(0, target.find('|'));
    }
    // Writes the store service's status and waits until the manager has handled it and whatever
    // it wrote or sent in turn.
    bool DeliverStoreStatus(const std::string& value) {
        int before = device.LogCount("m_OnHomeUpdateStatusChanged(");
        vconf_set_str(BIU_STATUS.c_str(), value.c_str());
        return device.Settle(true) && device.LogCount("m_OnHomeUpdateStatusChanged(") > before;
    }
    std::string LastMessage() {
        std::vector<Json::Value> posts = Posts(false);
        return posts.empty() ? "" : posts.back()["texts"][1]["text"].asString();
    }
};

// ---- "A priority update, as the handler sees it", row by row ---------------------------------

enum Launch { NO_LAUNCH, LOADING_UI, STOP_UI };

// The test mode's messages as the user reads them (English), each with the text given with it.
std::string U(const std::string& text) {
    return "Home is updating. Please wait until the update is complete.\n" + text;
}
std::string F(const std::string& text) {
    return "Update failed.\n(" + text + ")";
}
const std::string LATER =
    U("If you select Update Later, your TV will be updated automatically the next time it is "
      "turned off.");
const std::string DIFFERENT = F("Requested version and installed version are different");

struct HandlerRow {
    const char* name;
    const char* status;
    const char* home;  // the home status; nullptr: it cannot be read
    Launch launch;     // of the view
    const char* homeAfter;
    const char* userAfter;
    const char* requestAfter;
    unsigned notifications;
    std::string messages;              // of the test mode, in order, "|" between them
    const char* storeAfter = nullptr;  // nullptr: left as it came
    // Whether "priority0_downloaded" asks the user: the automatic-update setting ("i:N", nullptr:
    // unreadable) and the country's "updateNotification" property (nullptr: not available).
    const char* autoUpdate = "i:0";
    const char* property = nullptr;
    const char* fullScreen = nullptr;    // the application in full screen; nullptr: the Home
    const char* givesNothing = nullptr;  // a call that succeeds but hands back no text
};

const HandlerRow HANDLER_ROWS[] = {
    {"StartWithHomeStart", "priority0_start", "start", NO_LAUNCH, "start", "0/3@2.0.0", "0/6@2.0.0",
     0, U("priority0_start")},
    {"Start", "priority0_start", "none", NO_LAUNCH, "none", "0/3@2.0.0", "0/6@2.0.0", 0,
     U("priority0_start")},
    {"DownloadedWithHomeStart", "priority0_downloaded", "start", NO_LAUNCH, "start", "1/3@1.5.0",
     "1/6@1.5.0", 0, U("priority0_downloaded"), "allow_install"},
    {"DownloadedAsksTheUser", "priority0_downloaded", "none", NO_LAUNCH, "none", "2/3@1.5.0",
     "1/6@1.5.0", 1, U("priority0_downloaded")},
    {"InstallProgressWithHomeStart", "priority0_installprogress", "start", NO_LAUNCH, "start",
     "1/3@1.5.0", "1/6@1.5.0", 0, U("priority0_installprogress")},
    {"InstallProgressShowsLoading", "priority0_installprogress", "none", LOADING_UI, "none",
     "1/3@1.5.0", "1/6@1.5.0", 0, U("priority0_installprogress")},
    // A home status that cannot be read is not "start".
    {"InstallProgressWithHomeStatusUnreadable", "priority0_installprogress", nullptr, LOADING_UI,
     "", "1/3@1.5.0", "1/6@1.5.0", 0, U("priority0_installprogress")},
    {"NeededSpaceWithHomeStart", "needed_space:1024/2048", "start", STOP_UI, "done", "1/3@1.5.0",
     "1/6@1.5.0", 0, F("needed_space:1024/2048")},
    {"NeededSpace", "needed_space:1024/2048", "none", NO_LAUNCH, "none", "1/3@1.5.0", "2/6@1.5.0",
     0, F("needed_space:1024/2048")},
    {"DownloadFailedWithHomeStart", "priority0_downloadfailed", "start", STOP_UI, "done",
     "1/3@1.5.0", "1/6@1.5.0", 0, F("priority0_downloadfailed")},
    {"DownloadFailed", "priority0_downloadfailed", "none", NO_LAUNCH, "none", "1/3@1.5.0",
     "2/6@1.5.0", 0, F("priority0_downloadfailed")},
    {"InstallFailedWithHomeStart", "priority0_installfailed", "start", STOP_UI, "done", "1/3@1.5.0",
     "1/6@1.5.0", 0, F("priority0_installfailed")},
    {"InstallFailed", "priority0_installfailed", "none", NO_LAUNCH, "none", "1/3@1.5.0",
     "2/6@1.5.0", 0, F("priority0_installfailed")},
    {"FailedWithHomeStart", "priority0_failed", "start", STOP_UI, "done", "1/3@1.5.0", "1/6@1.5.0",
     0, ""},
    // The view already in full screen is not launched again.
    {"FailedWithViewInFullScreen", "priority0_failed", "start", NO_LAUNCH, "done", "1/3@1.5.0",
     "1/6@1.5.0", 0, "", nullptr, "i:0", nullptr, HOME_UPDATE_VIEW_APP_ID},
    {"Failed", "priority0_failed", "none", NO_LAUNCH, "none", "1/3@1.5.0", "1/6@1.5.0", 0, ""},
    {"EndWithHomeStart", "priority0_end", "start", STOP_UI, "done", "0/3@1.5.0", "0/6@1.5.0", 0,
     DIFFERENT},
    {"End", "priority0_end", "none", NO_LAUNCH, "none", "0/3@1.5.0", "0/6@1.5.0", 0, DIFFERENT},
    {"Priority1Start", "priority1_start", "none", NO_LAUNCH, "none", "1/3@1.5.0", "1/6@1.5.0", 0,
     U("priority1_start")},
    {"Priority1Progress", "priority1_progress", "none", NO_LAUNCH, "none", "1/3@1.5.0", "1/6@1.5.0",
     0, U("priority1_progress")},
    {"Priority1End", "priority1_end", "none", NO_LAUNCH, "none", "1/3@1.5.0", "1/6@1.5.0", 0,
     U("priority1_end")},
    // Answered for the user or put to them, the user counter moves on the same.
    {"DownloadedWithAutoUpdateIsPutOff", "priority0_downloaded", "none", NO_LAUNCH, "none",
     "2/3@1.5.0", "1/6@1.5.0", 0, U("priority0_downloaded") + "|" + LATER, "install_later", "i:1",
     "0"},
    {"DownloadedInNotificationCountry", "priority0_downloaded", "none", NO_LAUNCH, "none",
     "2/3@1.5.0", "1/6@1.5.0", 1, U("priority0_downloaded"), nullptr, "i:1", "1"},
    {"DownloadedInOtherCountryIsPutOff", "priority0_downloaded", "none", NO_LAUNCH, "none",
     "2/3@1.5.0", "1/6@1.5.0", 0, U("priority0_downloaded") + "|" + LATER, "install_later", "i:1",
     "21"},
    {"DownloadedWithAutoUpdateUnreadable", "priority0_downloaded", "none", NO_LAUNCH, "none",
     "2/3@1.5.0", "1/6@1.5.0", 1, U("priority0_downloaded"), nullptr, nullptr, "0"},
    // A property that comes back without its text does not ask for the notification.
    {"DownloadedWithPropertyTextMissing", "priority0_downloaded", "none", NO_LAUNCH, "none",
     "2/3@1.5.0", "1/6@1.5.0", 0, U("priority0_downloaded") + "|" + LATER, "install_later", "i:1",
     "1", nullptr, "dravo_get_rixurl_configproperties"},
};

class HandlerTableTest : public UpdateManagerTest,
                         public ::testing::WithParamInterface<HandlerRow> {};

TEST_P(HandlerTableTest, ActsOnTheStoreStatus) {
    const HandlerRow& row = GetParam();
    WriteOrRemove("kdb/" + HOME_STATUS,
                  row.home ? (std::string("s:") + row.home).c_str() : nullptr);
    WriteOrRemove("kdb/db/menu/support/softwareupdate/autoupdate", row.autoUpdate);
    WriteOrRemove("config/properties/updateNotification", row.property);
    if (row.fullScreen)
        SetKeyQuietly("memory/appfw/current_fullscreen_appid", row.fullScreen);
    if (row.givesNothing) {
        ASSERT_TRUE(tvhost::FaultAdd(row.givesNothing, "0", ""));
    }
    StartManager();

    ASSERT_TRUE(DeliverStoreStatus(row.status));

    // A stop names the status text byte for byte; the loading screen has no other data.
    std::string launch = row.launch == LOADING_UI ? "LaunchReason=LoadingUI" : STOP + row.status;
    EXPECT_EQ(row.launch == NO_LAUNCH ? "" : launch + CALLER + "\n", ViewLaunches());
    EXPECT_EQ(row.homeAfter, StrKey(HOME_STATUS));
    EXPECT_EQ(row.userAfter, Counter(USER_FILE));
    EXPECT_EQ(row.requestAfter, Counter(REQUEST_FILE));
    EXPECT_EQ(row.notifications, Posts(true).size());
    EXPECT_EQ(row.storeAfter ? row.storeAfter : row.status, StrKey(BIU_STATUS));
    std::string messages;
    for (const Json::Value& post : Posts(false))
        messages += (messages.empty() ? "" : "|") + post["texts"][1]["text"].asString();
    EXPECT_EQ(row.messages, messages);
    // A failure ends the test mode; progress leaves it on.
    bool ends = row.messages.rfind("Update failed.", 0) == 0;
    EXPECT_EQ(!ends, device.Exists(DATA + "hidden_mode"));
}

INSTANTIATE_TEST_SUITE_P(Rows, HandlerTableTest, ::testing::ValuesIn(HANDLER_ROWS), RowName());

TEST_F(UpdateManagerTest, StartWithoutMajorInfoGivesEmptyTargetAndNoLimits) {
    tvhost::FaultAdd("pax_get_major_file_info", "-1", "");
    StartManager();

    ASSERT_TRUE(DeliverStoreStatus("priority0_start"));

    EXPECT_EQ("0/0@", Counter(USER_FILE));
    EXPECT_EQ("0/0@", Counter(REQUEST_FILE));
}

// The release notes are fetched when an update starts only if the user will be asked about it.
TEST_F(UpdateManagerTest, StartFetchesTheDetailOnlyWhenTheUserWillBeAsked) {
    device.Remove("config/properties/updateNotification");
    StartManager();
    for (std::string autoUpdate : {"i:1", "i:0"}) {
        SCOPED_TRACE(autoUpdate);
        device.Write("kdb/db/menu/support/softwareupdate/autoupdate", autoUpdate);
        ASSERT_TRUE(DeliverStoreStatus("priority0_start"));
        EXPECT_EQ(autoUpdate == "i:0", device.LogHas("> [Request] appId: " + HOME_APP_ID));
    }
}

// A maximum from the store service near the ends of the int range: the request counter's doubled
// limit stops at the end instead of wrapping (which the sanitizer build would stop on).
TEST_F(UpdateManagerTest, DoubledLimitSaturatesAtTheEndsOfTheIntRangeOnly) {
    struct {
        const char* maximum;
        const char* requestLimit;
        bool saturated;
    } rows[] = {{"2147483647", "2147483647", true},
                {"1073741824", "2147483647", true},
                {"1073741823", "2147483646", false},
                {"-900000000", "-1800000000", false},
                {"-2147483648", "-2147483648", true}};
    StartManager();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.maximum);
        // A version per row, so that each row is a new target for the counters.
        std::string version = std::string("3.0.") + row.maximum;
        device.Write(MAJOR_FILE, R"({"id":"home","version":")" + version +
                                     R"(","targetGroupType":"normal","maxRetryCount":)" +
                                     row.maximum + "}");

        ASSERT_TRUE(DeliverStoreStatus("priority0_start"));

        EXPECT_EQ(std::string("0/") + row.maximum + "@" + version, Counter(USER_FILE));
        EXPECT_EQ(std::string("0/") + row.requestLimit + "@" + version, Counter(REQUEST_FILE));
        EXPECT_EQ(row.saturated, device.LogHas(std::string("maxRetryCount ") + row.maximum +
                                               " doubled is out of range"));
    }
}

// ---- "priority0_end" checks the result -------------------------------------------------------

struct EndRow {
    const char* name;
    const char* installedVersion;  // nullptr: the package is missing
    bool abtestFlagBefore;
    const char* majorGroup;  // nullptr: the major file info cannot be read
    const char* tracker;     // nullptr: no tracking file
    bool completed;
    const char* flagAfter;  // nullptr: no flag file; "=RESPONSE": the major file info text
    const char* givesNothing = nullptr;  // a call that succeeds but hands back no text
};

const EndRow END_ROWS[] = {
    {"NormalTarget", "2.0.0", false, "normal", nullptr, true, nullptr},
    {"AbtestTargetInstalled", "2.0.0", false, "abtest", nullptr, true, "=RESPONSE"},
    {"AbtestStillRunning", "2.0.0", true, "abtest", nullptr, false, "old"},
    {"AbtestEndedByNormalTarget", "2.0.0", true, "normal", nullptr, true, nullptr},
    {"TrackedTarget", "1.5.0", false, "normal", "1.0.0\n2.0.0\n", true, nullptr},
    {"UntrackedTarget", "1.5.0", false, "normal", "1.0.0\n", false, nullptr},
    {"TrackedTargetAbtestRunning", "1.5.0", true, "abtest", "1.0.0\n2.0.0\n", false, "old"},
    {"NoHomePackage", nullptr, false, "normal", nullptr, false, nullptr},
    {"NoTarget", "2.0.0", false, nullptr, "2.0.0\n", false, nullptr},
    {"NoVersionGiven", "2.0.0", false, "normal", nullptr, false, nullptr,
     "package_info_get_version"},
};

class EndTableTest : public UpdateManagerTest, public ::testing::WithParamInterface<EndRow> {};

TEST_P(EndTableTest, CompletesOnlyOnTheTarget) {
    const EndRow& row = GetParam();
    const std::string flagFile = TRUSTED + ABTEST_FILE;
    WriteOrRemove(std::string("packages/") + HOME_VERSION_PKG, row.installedVersion);
    WriteOrRemove(flagFile, row.abtestFlagBefore ? "old" : nullptr);
    WriteOrRemove(MAJOR_FILE,
                  row.majorGroup ? MajorInfo("2.0.0", row.majorGroup).c_str() : nullptr);
    WriteOrRemove(TRUSTED + ".home_version_tracker", row.tracker);
    if (row.givesNothing) {
        ASSERT_TRUE(tvhost::FaultAdd(row.givesNothing, "0", ""));
    }
    StartManager();

    ASSERT_TRUE(DeliverStoreStatus("priority0_end"));

    const char* failed = "(Requested version and installed version are different)";
    EXPECT_THAT(LastMessage(), ::testing::EndsWith(row.completed ? "version 2.0.0." : failed));
    EXPECT_EQ(!row.completed, device.LogHas("> [ERROR] Major and installed version are different"));
    EXPECT_FALSE(device.Exists(DATA + "hidden_mode")) << "the end of an update ends the test mode";
    EXPECT_EQ(row.installedVersion == nullptr,
              device.LogHas("Failed to get package info with error code :-2 "));
    std::string flag = row.flagAfter ? row.flagAfter : "";
    EXPECT_EQ(flag == "=RESPONSE" ? device.Read(MAJOR_FILE) : flag, device.Read(flagFile));
    EXPECT_EQ(row.flagAfter != nullptr, device.Exists(flagFile));
    if (row.completed && !row.flagAfter) {
        // Its removal says whether there was one.
        EXPECT_TRUE(
            device.LogHas(row.abtestFlagBefore ? "> Delete" : "> Fail [" + device.Path(flagFile)));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, EndTableTest, ::testing::ValuesIn(END_ROWS), RowName());

// How the counters move and the recovery action are read through the detail popup's request.
TEST_F(UpdateManagerTest, DoNotUpdateEndsTheTestModeWithTheVersionAndForgetsTheTarget) {
    device.Write(MAJOR_FILE, MajorInfo("1.5.0", "normal"));
    StartManager();
    ASSERT_TRUE(DeliverStoreStatus("priority0_start"));

    Singleton<UpdateStatusMonitor>::GetInstance()->SetUserRequestStatus(DO_NOT_UPDATE, "");

    EXPECT_EQ("", Singleton<TriggerHomeVersion>::GetInstance()->GetVersion());
    EXPECT_THAT(LastMessage(), ::testing::EndsWith("Skip This Version Update. (version: 1.5.0))"));
    EXPECT_FALSE(device.Exists(DATA + "hidden_mode"));
}

// ---- power-off -------------------------------------------------------------------------------

struct PowerRow {
    const char* name;
    const char* storeStatus;  // as the key file holds it; nullptr: unreadable
    const char* change;       // "previous next"
    const char* homeAfter;
    bool poweredOff;
};

// States 2, 3 and 4 are power-off; only a store still in its "priority0" phase is forgotten.
const PowerRow POWER_ROWS[] = {
    {"DownloadedOffToState2", "s:priority0_downloaded", "1 2", "none", true},
    {"CancelByTimerOffToState3", "s:cancel_by_timer", "1 3", "none", true},
    {"UnreadableStatusOffToState4", nullptr, "1 4", "none", true},
    {"InstallLaterIsKept", "s:install_later", "1 3", "start", true},
    {"SameStateIsNoChange", "s:priority0_downloaded", "3 3", "start", false},
    {"StateFiveIsNotOff", "s:priority0_downloaded", "2 5", "start", false},
};

class PowerTableTest : public UpdateManagerTest, public ::testing::WithParamInterface<PowerRow> {};

TEST_P(PowerTableTest, PowerOffForgetsAPriority0Update) {
    const PowerRow& row = GetParam();
    SetKeyQuietly(HOME_STATUS, "start");
    WriteOrRemove("kdb/" + BIU_STATUS, row.storeStatus);
    StartManager();

    ASSERT_EQ(0, device.Tvctl(std::string("power ") + row.change));
    ASSERT_TRUE(device.Settle(true));

    EXPECT_EQ(row.homeAfter, StrKey(HOME_STATUS));
    std::string off = std::string("power off [") + row.change[2] + "]";
    EXPECT_EQ(row.poweredOff, device.LogHas(off));
}

INSTANTIATE_TEST_SUITE_P(Rows, PowerTableTest, ::testing::ValuesIn(POWER_ROWS), RowName());

}  // namespace
