// The update manager driven through the settings store of a test device, with the real status
// monitor, retry counters, target version and host platform; what it did is read back from the
// journals, keys, files and the platform log.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "UpdateFlow.h"

using namespace updateflow;

namespace {

const std::string HOME_STATUS = "memory/home/priority_update_status";
const std::string BIU_STATUS = "memory/pax/priority_biu_status";
const std::string CALLER = std::string("Caller=") + BRENWICK_APP_ID;
const std::string USER_FILE = DATA + "user_retry.txt";
const std::string REQUEST_FILE = DATA + "request_retry.txt";
// Counters that were given an older target: each row shows how they move from here.
const std::string USER_BEFORE = "1\n3\n1.5.0|normal\n";
const std::string REQUEST_BEFORE = "1\n6\n1.5.0|normal\n";

class UpdateManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(service.served);
        device.Write("store/major_file_info.json", MajorInfo("2.0.0", "normal"));
        device.Write(USER_FILE, USER_BEFORE);
        device.Write(REQUEST_FILE, REQUEST_BEFORE);
    }

    void StartManager() { Singleton<UpdateManager>::GetInstance(); }
    void HiddenModeOn() { device.Write(DATA + "hidden_mode", ""); }
    std::vector<Json::Value> ViewLaunches() { return LaunchesTo(device, HOME_UPDATE_VIEW_APP_ID); }

    TestDevice device;
    ServiceStandIn service;
};

// ---- "A priority update, as the handler sees it", row by row ---------------------------------

struct HandlerRow {
    const char* status;
    bool homeStart;
    const char* launch;  // extra data of the one launch of the view, or "" for none
    const char* homeAfter;
    const char* userAfter;
    const char* requestAfter;
    bool notificationPosted;
    const char* storeAfter;  // the store service's key afterwards
};

const std::string STOP = "LaunchReason=StopUI;PriorityUpdate=true;StopUI=";
const std::string USER_TARGET = "0\n3\n2.0.0|normal\n";
const std::string REQUEST_TARGET = "0\n6\n2.0.0|normal\n";

const HandlerRow HANDLER_ROWS[] = {
    {"priority0_start", true, "", "start", USER_TARGET.c_str(), REQUEST_TARGET.c_str(), false,
     "priority0_start"},
    {"priority0_start", false, "", "none", USER_TARGET.c_str(), REQUEST_TARGET.c_str(), false,
     "priority0_start"},
    {"priority0_downloaded", true, "", "start", USER_BEFORE.c_str(), REQUEST_BEFORE.c_str(), false,
     "allow_install"},
    {"priority0_downloaded", false, "", "none", "2\n3\n1.5.0|normal\n", REQUEST_BEFORE.c_str(),
     true, "priority0_downloaded"},
    {"priority0_installprogress", true, "", "start", USER_BEFORE.c_str(), REQUEST_BEFORE.c_str(),
     false, "priority0_installprogress"},
    {"priority0_installprogress", false, "LaunchReason=LoadingUI", "none", USER_BEFORE.c_str(),
     REQUEST_BEFORE.c_str(), false, "priority0_installprogress"},
    {"needed_space:1024/2048", true, "needed_space:1024/2048", "done", USER_BEFORE.c_str(),
     REQUEST_BEFORE.c_str(), false, "needed_space:1024/2048"},
    {"needed_space:1024/2048", false, "", "none", USER_BEFORE.c_str(), "2\n6\n1.5.0|normal\n",
     false, "needed_space:1024/2048"},
    {"priority0_downloadfailed", true, "priority0_downloadfailed", "done", USER_BEFORE.c_str(),
     REQUEST_BEFORE.c_str(), false, "priority0_downloadfailed"},
    {"priority0_downloadfailed", false, "", "none", USER_BEFORE.c_str(), "2\n6\n1.5.0|normal\n",
     false, "priority0_downloadfailed"},
    {"priority0_installfailed", true, "priority0_installfailed", "done", USER_BEFORE.c_str(),
     REQUEST_BEFORE.c_str(), false, "priority0_installfailed"},
    {"priority0_installfailed", false, "", "none", USER_BEFORE.c_str(), "2\n6\n1.5.0|normal\n",
     false, "priority0_installfailed"},
    {"priority0_failed", true, "priority0_failed", "done", USER_BEFORE.c_str(),
     REQUEST_BEFORE.c_str(), false, "priority0_failed"},
    {"priority0_failed", false, "", "none", USER_BEFORE.c_str(), REQUEST_BEFORE.c_str(), false,
     "priority0_failed"},
    {"priority0_end", true, "priority0_end", "done", "0\n3\n1.5.0|normal\n", "0\n6\n1.5.0|normal\n",
     false, "priority0_end"},
    {"priority0_end", false, "", "none", "0\n3\n1.5.0|normal\n", "0\n6\n1.5.0|normal\n", false,
     "priority0_end"},
    // Answers and priority1 phases move nothing.
    {"install_later", true, "", "start", USER_BEFORE.c_str(), REQUEST_BEFORE.c_str(), false,
     "install_later"},
    {"priority1_progress", false, "", "none", USER_BEFORE.c_str(), REQUEST_BEFORE.c_str(), false,
     "priority1_progress"},
};

class HandlerTableTest : public UpdateManagerTest,
                         public ::testing::WithParamInterface<HandlerRow> {};

TEST_P(HandlerTableTest, ActsOnTheStoreStatus) {
    const HandlerRow& row = GetParam();
    if (row.homeStart)
        SetKeyQuietly(device, HOME_STATUS, "start");
    StartManager();

    ASSERT_TRUE(DeliverStoreStatus(device, row.status));

    std::vector<Json::Value> launches = ViewLaunches();
    std::string launch = row.launch;
    if (launch.empty()) {
        EXPECT_TRUE(launches.empty()) << Extra(launches.front());
    } else {
        // A stop names the status text byte for byte; the loading screen has no other data.
        std::string expected = launch.rfind("LaunchReason=", 0) == 0 ? launch : STOP + launch;
        ASSERT_EQ(1u, launches.size());
        EXPECT_EQ(expected + ";" + CALLER, Extra(launches[0]));
    }
    EXPECT_EQ(row.homeAfter, StrKey(device, HOME_STATUS));
    EXPECT_EQ(row.userAfter, device.Read(USER_FILE));
    EXPECT_EQ(row.requestAfter, device.Read(REQUEST_FILE));
    EXPECT_EQ(row.notificationPosted ? 1u : 0u, Posts(device, true).size());
    EXPECT_EQ(row.storeAfter, StrKey(device, BIU_STATUS));
}

INSTANTIATE_TEST_SUITE_P(Rows, HandlerTableTest, ::testing::ValuesIn(HANDLER_ROWS),
                         [](const auto& info) {
                             return RowName(
                                 std::string(info.param.status) +
                                     (info.param.homeStart ? "_homeStart" : "_otherwise"),
                                 info.index);
                         });

// ---- whether "priority0_downloaded" asks the user --------------------------------------------

struct AskRow {
    const char* autoUpdate;  // "i:N", or nullptr: the setting cannot be read
    const char* property;    // "updateNotification", or nullptr: not available
    bool notificationPosted;
    const char* storeAfter;
};

const AskRow ASK_ROWS[] = {
    {"i:1", "0", false, "install_later"},
    {"i:1", nullptr, false, "install_later"},
    {"i:1", "1", true, "priority0_downloaded"},
    {"i:0", "0", true, "priority0_downloaded"},
    {nullptr, nullptr, true, "priority0_downloaded"},
};

class AskTableTest : public UpdateManagerTest, public ::testing::WithParamInterface<AskRow> {};

TEST_P(AskTableTest, DownloadedAsksOrAnswersLater) {
    const AskRow& row = GetParam();
    const std::string autoUpdateKey = "kdb/db/menu/support/softwareupdate/autoupdate";
    if (row.autoUpdate)
        device.Write(autoUpdateKey, row.autoUpdate);
    else
        device.Remove(autoUpdateKey);
    if (row.property)
        device.Write("config/properties/updateNotification", row.property);
    StartManager();

    ASSERT_TRUE(DeliverStoreStatus(device, "priority0_downloaded"));

    EXPECT_EQ(row.notificationPosted ? 1u : 0u, Posts(device, true).size());
    EXPECT_EQ(row.storeAfter, StrKey(device, BIU_STATUS));
    // Put to the user or decided for the user: either way one more on the user counter.
    EXPECT_EQ("2\n3\n1.5.0|normal\n", device.Read(USER_FILE));
    if (!row.autoUpdate) {
        EXPECT_TRUE(device.LogHas("vconf_get_int fail db/menu/support/softwareupdate/autoupdate"));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, AskTableTest, ::testing::ValuesIn(ASK_ROWS), [](const auto& info) {
    return RowName(std::string("auto_") +
                       (info.param.autoUpdate ? info.param.autoUpdate : "unreadable") + "_prop_" +
                       (info.param.property ? info.param.property : "none"),
                   info.index);
});

// ---- "priority0_start" gives both counters the target ----------------------------------------

TEST_F(UpdateManagerTest, StartWithoutMajorInfoGivesEmptyTargetAndNoLimits) {
    tvhost::FaultAdd("pax_get_major_file_info", "-1", "");
    StartManager();

    ASSERT_TRUE(DeliverStoreStatus(device, "priority0_start"));

    EXPECT_EQ("0\n0\n\n", device.Read(USER_FILE));
    EXPECT_EQ("0\n0\n\n", device.Read(REQUEST_FILE));
    // The notification would be wanted, so the detail is fetched even for an empty target.
    EXPECT_TRUE(device.LogHas("[Request] appId: , appVersion: "));
}

// ---- "priority0_end" checks the result -------------------------------------------------------

struct EndRow {
    const char* installedVersion;  // nullptr: the package is missing
    bool abtestFlagBefore;
    const char* majorVersion;  // nullptr: the major file info cannot be read
    const char* majorGroup;
    const char* tracker;  // nullptr: no tracking file
    bool completed;
    const char* flagAfter;  // nullptr: no flag file; "=RESPONSE": the major file info text
};

const EndRow END_ROWS[] = {
    {"2.0.0", false, "2.0.0", "normal", nullptr, true, nullptr},
    {"2.0.0", false, "2.0.0", "abtest", nullptr, true, "=RESPONSE"},
    {"2.0.0", true, "2.0.0", "abtest", nullptr, false, "old"},
    {"2.0.0", true, "2.0.0", "normal", nullptr, true, nullptr},
    {"1.5.0", false, "2.0.0", "normal", "1.0.0\n2.0.0\n", true, nullptr},
    {"1.5.0", true, "2.0.0", "abtest", "1.0.0\n2.0.0\n", false, "old"},
    {"1.5.0", false, "2.0.0", "normal", nullptr, false, nullptr},
    {nullptr, false, "2.0.0", "normal", nullptr, false, nullptr},
    {"2.0.0", false, nullptr, nullptr, "2.0.0\n", false, nullptr},
};

class EndTableTest : public UpdateManagerTest, public ::testing::WithParamInterface<EndRow> {};

TEST_P(EndTableTest, CompletesOnlyOnTheTarget) {
    const EndRow& row = GetParam();
    const std::string packageFile = std::string("packages/") + HOME_VERSION_PKG;
    const std::string flagFile = TRUSTED + ABTEST_FILE;
    const std::string majorFile = "store/major_file_info.json";
    if (row.installedVersion)
        device.Write(packageFile, std::string(row.installedVersion) + "\n");
    else
        device.Remove(packageFile);
    if (row.abtestFlagBefore)
        device.Write(flagFile, "old");
    if (row.majorVersion)
        device.Write(majorFile, MajorInfo(row.majorVersion, row.majorGroup));
    else
        device.Remove(majorFile);
    if (row.tracker)
        device.Write(TRUSTED + ".home_version_tracker", row.tracker);
    HiddenModeOn();
    StartManager();

    ASSERT_TRUE(DeliverStoreStatus(device, "priority0_end"));

    std::vector<Json::Value> messages = Posts(device, false);
    ASSERT_EQ(1u, messages.size());
    std::string message = ContentText(messages[0]);
    if (row.completed) {
        EXPECT_NE(std::string::npos, message.find("2.0.0")) << message;
        EXPECT_FALSE(device.LogHas("[ERROR] Major and installed version are different"));
    } else {
        EXPECT_NE(std::string::npos,
                  message.find("(Requested version and installed version are different)"))
            << message;
        EXPECT_TRUE(device.LogHas("[ERROR] Major and installed version are different"));
    }
    if (!row.flagAfter) {
        EXPECT_FALSE(device.Exists(flagFile));
    } else {
        std::string expected = row.flagAfter;
        if (expected == "=RESPONSE")
            expected = device.Read(majorFile);
        EXPECT_EQ(expected, device.Read(flagFile));
    }
    // The target is finished with either way.
    EXPECT_EQ("", Singleton<TriggerHomeVersion>::GetInstance()->GetVersion());
}

INSTANTIATE_TEST_SUITE_P(Rows, EndTableTest, ::testing::ValuesIn(END_ROWS), [](const auto& info) {
    return RowName(
        std::string(info.param.installedVersion ? info.param.installedVersion : "noPackage") +
            (info.param.abtestFlagBefore ? "_abtest_" : "_normal_") +
            (info.param.majorGroup ? info.param.majorGroup : "noTarget"),
        info.index);
});

TEST_F(UpdateManagerTest, EndOfAbTestIsLogged) {
    device.Write(TRUSTED + ABTEST_FILE, "old");
    device.Write(std::string("packages/") + HOME_VERSION_PKG, "2.0.0\n");
    StartManager();

    ASSERT_TRUE(DeliverStoreStatus(device, "priority0_end"));

    EXPECT_TRUE(device.LogHas("(2.0.0) A/B Test finished"));
    EXPECT_TRUE(device.LogHas("Major: 2.0.0|normal, Installed: 2.0.0|abtest"));
}

// ---- a requested update from "ready" to its stop, and the view in full screen ----------------

struct FullscreenRow {
    const char* fullscreenAppId;  // nullptr: the key cannot be read
    bool launched;
};

const FullscreenRow FULLSCREEN_ROWS[] = {
    {"com.talvoro.tv.homeupdateview", false},
    {"com.talvoro.tv.homeupdateview.settings", true},
    {"com.talvoro.tv.homeupdateviex", true},
    {"com.talvoro.tv.home", true},
    // Nobody says the view fills the screen: it is launched rather than leave the user blind.
    {nullptr, true},
};

class RequestedUpdateTest : public UpdateManagerTest,
                            public ::testing::WithParamInterface<FullscreenRow> {};

TEST_P(RequestedUpdateTest, ReadyStartsAndTheStopEndsIt) {
    const FullscreenRow& row = GetParam();
    const std::string fullscreenKey = "memory/appfw/current_fullscreen_appid";
    if (row.fullscreenAppId)
        SetKeyQuietly(device, fullscreenKey, row.fullscreenAppId);
    else
        device.Remove("kdb/" + fullscreenKey);
    StartManager();

    vconf_set_str(HOME_STATUS.c_str(), "ready");
    ASSERT_TRUE(
        RunLoopUntil([&] { return !StoreCalls(device, "pax_request_priority_update").empty(); }));
    RunLoopFor(150);
    EXPECT_EQ("start", StrKey(device, HOME_STATUS));
    ASSERT_TRUE(DeliverStoreStatus(device, "priority0_failed"));

    EXPECT_EQ(1u, StoreCalls(device, "pax_request_priority_update").size());
    EXPECT_EQ("done", StrKey(device, HOME_STATUS));
    std::vector<Json::Value> launches = ViewLaunches();
    if (!row.launched) {
        EXPECT_TRUE(launches.empty());
        EXPECT_TRUE(device.LogHas("com.talvoro.tv.homeupdateview => fullscreen app"));
        return;
    }
    ASSERT_EQ(2u, launches.size());
    EXPECT_EQ("LaunchReason=LoadingUI;" + CALLER, Extra(launches[0]));
    EXPECT_EQ(STOP + "priority0_failed;" + CALLER, Extra(launches[1]));
}

INSTANTIATE_TEST_SUITE_P(Rows, RequestedUpdateTest, ::testing::ValuesIn(FULLSCREEN_ROWS),
                         [](const auto& info) {
                             return RowName(
                                 std::string(info.param.fullscreenAppId ? info.param.fullscreenAppId
                                                                        : "unreadable"),
                                 info.index);
                         });

// ---- the user declines the version -----------------------------------------------------------

TEST_F(UpdateManagerTest, DoNotUpdateUsesUpTheTriesAndAsksNotToOfferItAgain) {
    device.Remove(USER_FILE);
    device.Remove(REQUEST_FILE);
    HiddenModeOn();
    StartManager();
    ASSERT_TRUE(DeliverStoreStatus(device, "priority0_start"));
    ASSERT_TRUE(DeliverStoreStatus(device, "priority0_downloaded"));
    ASSERT_EQ("1\n3\n2.0.0|normal\n", device.Read(USER_FILE));
    ASSERT_EQ(1u, Posts(device, true).size());

    Singleton<UpdateStatusMonitor>::GetInstance()->SetUserRequestStatus(DO_NOT_UPDATE, "");

    EXPECT_EQ("3\n3\n2.0.0|normal\n", device.Read(USER_FILE));
    EXPECT_EQ("0\n6\n2.0.0|normal\n", device.Read(REQUEST_FILE));
    std::vector<Json::Value> recoveries = StoreCalls(device, "pax_add_recovery_action");
    ASSERT_EQ(1u, recoveries.size());
    EXPECT_EQ("action=prevent_update;caller=com.talvoro.tv.brenwick;appid=" + HOME_APP_ID +
                  ";version=2.0.0",
              Extra(recoveries[0]));
    EXPECT_EQ("", Singleton<TriggerHomeVersion>::GetInstance()->GetVersion());
    std::vector<Json::Value> messages = Posts(device, false);
    ASSERT_FALSE(messages.empty());
    std::string last = ContentText(messages.back());
    const std::string ending = "Skip This Version Update. (version: 2.0.0))";
    ASSERT_GE(last.size(), ending.size());
    EXPECT_EQ(ending, last.substr(last.size() - ending.size()));
    EXPECT_EQ("deny_install", StrKey(device, BIU_STATUS));
}

// ---- power-off -------------------------------------------------------------------------------

struct PowerRow {
    const char* storeStatus;  // nullptr: the key cannot be read
    int previous;
    int next;
    const char* homeAfter;
};

const PowerRow POWER_ROWS[] = {
    {"priority0_downloaded", 1, 3, "none"},  {"priority0_downloaded", 1, 2, "none"},
    {"cancel_by_timer", 0, 4, "none"},       {"install_later", 1, 3, "start"},
    {"priority1_progress", 1, 3, "start"},   {"priority0_downloaded", 3, 3, "start"},
    {"priority0_downloaded", 3, 1, "start"}, {nullptr, 1, 2, "none"},
};

class PowerTableTest : public UpdateManagerTest, public ::testing::WithParamInterface<PowerRow> {};

TEST_P(PowerTableTest, PowerOffForgetsAPriority0Update) {
    const PowerRow& row = GetParam();
    SetKeyQuietly(device, HOME_STATUS, "start");
    if (row.storeStatus)
        SetKeyQuietly(device, BIU_STATUS, row.storeStatus);
    else
        device.Remove("kdb/" + BIU_STATUS);
    StartManager();

    std::string output;
    ASSERT_EQ(0,
              device.Tvctl("power " + std::to_string(row.previous) + " " + std::to_string(row.next),
                           &output))
        << output;
    // An event that changes nothing leaves no trace: give it time to arrive.
    bool reset = std::string(row.homeAfter) == "none";
    if (reset)
        RunLoopUntil([&] { return StrKey(device, HOME_STATUS) == "none"; });
    else
        RunLoopFor(500);

    EXPECT_EQ(row.homeAfter, StrKey(device, HOME_STATUS));
    EXPECT_EQ(reset, device.LogHas("need to reset home priority update status"));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PowerTableTest, ::testing::ValuesIn(POWER_ROWS), [](const auto& info) {
        return RowName(std::string(info.param.storeStatus ? info.param.storeStatus : "unreadable") +
                           "_" + std::to_string(info.param.previous) + "_" +
                           std::to_string(info.param.next),
                       info.index);
    });

// ---- "CheckUpdateValidation" -----------------------------------------------------------------

struct ValidationRow {
    const char* homeStatus;  // nullptr: the key cannot be read
    const char* syncStatus;  // nullptr: the call fails
    const char* storeStatus;
    const char* toast;  // nullptr: the update starts
    bool reasonLogged;
};

const ValidationRow VALIDATION_ROWS[] = {
    {nullptr, "2", "", "return vconf fail", true},
    {"start", "2", "", "priority home update status already start", true},
    {"none", nullptr, "", "fail to get apps sync status", false},
    {"none", "1", "", "sync status is init or start", false},
    {"none", "0", "", "sync status is init or start", false},
    {"done", "2", "x_priority0_installed", "priority biu status is on install", true},
    {"none", "3", "priority0_installfailed", "priority biu status is on install", true},
    {"done", "2", "priority0_downloaded", nullptr, false},
};

class ValidationTableTest : public UpdateManagerTest,
                            public ::testing::WithParamInterface<ValidationRow> {};

TEST_P(ValidationTableTest, RefusesWithAToastOrStarts) {
    const ValidationRow& row = GetParam();
    if (row.homeStatus)
        SetKeyQuietly(device, HOME_STATUS, row.homeStatus);
    else
        device.Remove("kdb/" + HOME_STATUS);
    if (row.syncStatus)
        device.Write("store/sync_status", row.syncStatus);
    else
        tvhost::FaultAdd("pax_get_apps_sync_status", "-1", "");
    SetKeyQuietly(device, BIU_STATUS, row.storeStatus);
    StartManager();

    Singleton<UpdateManager>::GetInstance()->RequestForHomeUpdate();
    RunLoopFor(200);

    std::vector<Json::Value> toasts = LaunchesTo(device, SYSPOPUP_APP_ID);
    if (!row.toast) {
        EXPECT_TRUE(toasts.empty());
        EXPECT_TRUE(device.LogHas("Request Priority Update to PAX"));
        EXPECT_EQ("start", StrKey(device, HOME_STATUS));
        EXPECT_EQ(1u, StoreCalls(device, "pax_request_priority_update").size());
        return;
    }
    ASSERT_EQ(1u, toasts.size());
    EXPECT_EQ(
        std::string("app_name=com.talvoro.tv.brenwick;text=") + row.toast + ";type=toast;" + CALLER,
        Extra(toasts[0]));
    EXPECT_EQ(row.reasonLogged, device.LogHas(std::string("> ") + row.toast));
    EXPECT_EQ(row.homeStatus ? row.homeStatus : "", StrKey(device, HOME_STATUS));
    EXPECT_TRUE(StoreCalls(device, "pax_request_priority_update").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ValidationTableTest, ::testing::ValuesIn(VALIDATION_ROWS), [](const auto& info) {
        return RowName(std::string(info.param.toast ? info.param.toast : "starts"), info.index);
    });

}  // namespace
