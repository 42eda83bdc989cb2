// The update manager driven through the settings store of a test device, with the real status
// monitor, retry counters, target version and host platform; what it did is read back from the
// journals, keys, files and the platform log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "UpdateFlow.h"

using namespace updateflow;

namespace {

const std::string HOME_STATUS = "memory/home/priority_update_status";
const std::string FULLSCREEN = "memory/appfw/current_fullscreen_appid";
const std::string CALLER = std::string(";Caller=") + BRENWICK_APP_ID;
const std::string STOP = "LaunchReason=StopUI;PriorityUpdate=true;StopUI=";
const std::string USER_FILE = DATA + "user_retry.txt";
const std::string REQUEST_FILE = DATA + "request_retry.txt";
const std::string MAJOR_FILE = "store/major_file_info.json";

class UpdateManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(service.served);
        device.Write(MAJOR_FILE, MajorInfo("2.0.0", "normal"));
        // Counters that were given an older target: each case shows how they move from here.
        device.Write(USER_FILE, "1\n3\n1.5.0|normal\n");
        device.Write(REQUEST_FILE, "1\n6\n1.5.0|normal\n");
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
    std::string LastMessage() {
        std::vector<Json::Value> posts = Posts(device, false);
        return posts.empty() ? "" : posts.back()["texts"][1]["text"].asString();
    }

    TestDevice device;
    ServiceStandIn service;
};

// ---- "A priority update, as the handler sees it", row by row ---------------------------------

enum Launch { NO_LAUNCH, LOADING_UI, STOP_UI };

struct HandlerRow {
    const char* status;
    bool homeStart;
    Launch launch;  // of the view
    const char* homeAfter;
    const char* userAfter;
    const char* requestAfter;
    unsigned notifications;
    const char* storeAfter;  // nullptr: left as it came
};

const HandlerRow HANDLER_ROWS[] = {
    {"priority0_start", true, NO_LAUNCH, "start", "0/3@2.0.0", "0/6@2.0.0", 0, nullptr},
    {"priority0_start", false, NO_LAUNCH, "none", "0/3@2.0.0", "0/6@2.0.0", 0, nullptr},
    {"priority0_downloaded", true, NO_LAUNCH, "start", "1/3@1.5.0", "1/6@1.5.0", 0,
     "allow_install"},
    {"priority0_downloaded", false, NO_LAUNCH, "none", "2/3@1.5.0", "1/6@1.5.0", 1, nullptr},
    {"priority0_installprogress", true, NO_LAUNCH, "start", "1/3@1.5.0", "1/6@1.5.0", 0, nullptr},
    {"priority0_installprogress", false, LOADING_UI, "none", "1/3@1.5.0", "1/6@1.5.0", 0, nullptr},
    {"needed_space:1024/2048", true, STOP_UI, "done", "1/3@1.5.0", "1/6@1.5.0", 0, nullptr},
    {"needed_space:1024/2048", false, NO_LAUNCH, "none", "1/3@1.5.0", "2/6@1.5.0", 0, nullptr},
    {"priority0_downloadfailed", true, STOP_UI, "done", "1/3@1.5.0", "1/6@1.5.0", 0, nullptr},
    {"priority0_downloadfailed", false, NO_LAUNCH, "none", "1/3@1.5.0", "2/6@1.5.0", 0, nullptr},
    {"priority0_installfailed", true, STOP_UI, "done", "1/3@1.5.0", "1/6@1.5.0", 0, nullptr},
    {"priority0_installfailed", false, NO_LAUNCH, "none", "1/3@1.5.0", "2/6@1.5.0", 0, nullptr},
    {"priority0_failed", true, STOP_UI, "done", "1/3@1.5.0", "1/6@1.5.0", 0, nullptr},
    {"priority0_failed", false, NO_LAUNCH, "none", "1/3@1.5.0", "1/6@1.5.0", 0, nullptr},
    {"priority0_end", true, STOP_UI, "done", "0/3@1.5.0", "0/6@1.5.0", 0, nullptr},
    {"priority0_end", false, NO_LAUNCH, "none", "0/3@1.5.0", "0/6@1.5.0", 0, nullptr},
};

class HandlerTableTest : public UpdateManagerTest,
                         public ::testing::WithParamInterface<HandlerRow> {};

TEST_P(HandlerTableTest, ActsOnTheStoreStatus) {
    const HandlerRow& row = GetParam();
    if (row.homeStart)
        SetKeyQuietly(device, HOME_STATUS, "start");
    StartManager();

    ASSERT_TRUE(DeliverStoreStatus(device, row.status));

    std::vector<Json::Value> launches = LaunchesTo(device, HOME_UPDATE_VIEW_APP_ID);
    if (row.launch == NO_LAUNCH) {
        EXPECT_TRUE(launches.empty()) << Extra(launches.front());
    } else {
        // A stop names the status text byte for byte; the loading screen has no other data.
        ASSERT_EQ(1u, launches.size());
        std::string expected =
            row.launch == LOADING_UI ? "LaunchReason=LoadingUI" : STOP + row.status;
        EXPECT_EQ(expected + CALLER, Extra(launches[0]));
    }
    EXPECT_EQ(row.homeAfter, StrKey(device, HOME_STATUS));
    EXPECT_EQ(row.userAfter, Counter(USER_FILE));
    EXPECT_EQ(row.requestAfter, Counter(REQUEST_FILE));
    EXPECT_EQ(row.notifications, Posts(device, true).size());
    EXPECT_EQ(row.storeAfter ? row.storeAfter : row.status, StrKey(device, BIU_STATUS));
}

INSTANTIATE_TEST_SUITE_P(Rows, HandlerTableTest, ::testing::ValuesIn(HANDLER_ROWS));

// ---- whether "priority0_downloaded" asks the user --------------------------------------------

struct AskRow {
    const char* autoUpdate;  // "i:N", or nullptr: the setting cannot be read
    const char* property;    // "updateNotification", or nullptr: not available
    bool notified;
};

const AskRow ASK_ROWS[] = {
    {"i:1", "0", false}, {"i:1", nullptr, false}, {"i:1", "1", true},
    {"i:0", "0", true},  {nullptr, "0", true},
};

class AskTableTest : public UpdateManagerTest, public ::testing::WithParamInterface<AskRow> {};

TEST_P(AskTableTest, DownloadedAsksOrAnswersLater) {
    const AskRow& row = GetParam();
    WriteOrRemove("kdb/db/menu/support/softwareupdate/autoupdate", row.autoUpdate);
    WriteOrRemove("config/properties/updateNotification", row.property);
    StartManager();

    ASSERT_TRUE(DeliverStoreStatus(device, "priority0_downloaded"));

    EXPECT_EQ(row.notified ? 1u : 0u, Posts(device, true).size());
    EXPECT_EQ(row.notified ? "priority0_downloaded" : "install_later", StrKey(device, BIU_STATUS));
    // Put to the user or decided for the user: either way one more on the user counter.
    EXPECT_EQ("2/3@1.5.0", Counter(USER_FILE));
}

INSTANTIATE_TEST_SUITE_P(Rows, AskTableTest, ::testing::ValuesIn(ASK_ROWS));

TEST_F(UpdateManagerTest, StartWithoutMajorInfoGivesEmptyTargetAndNoLimits) {
    tvhost::FaultAdd("pax_get_major_file_info", "-1", "");
    StartManager();

    ASSERT_TRUE(DeliverStoreStatus(device, "priority0_start"));

    EXPECT_EQ("0/0@", Counter(USER_FILE));
    EXPECT_EQ("0/0@", Counter(REQUEST_FILE));
    // The notification would be wanted, so the detail is fetched even for an empty target.
    EXPECT_TRUE(device.LogHas("[Request] appId: , appVersion: "));
}

// ---- "priority0_end" checks the result -------------------------------------------------------

struct EndRow {
    const char* installedVersion;  // nullptr: the package is missing
    bool abtestFlagBefore;
    const char* majorGroup;  // nullptr: the major file info cannot be read
    const char* tracker;     // nullptr: no tracking file
    bool completed;
    const char* flagAfter;  // nullptr: no flag file; "=RESPONSE": the major file info text
};

const EndRow END_ROWS[] = {
    {"2.0.0", false, "normal", nullptr, true, nullptr},
    {"2.0.0", false, "abtest", nullptr, true, "=RESPONSE"},
    {"2.0.0", true, "abtest", nullptr, false, "old"},
    {"1.5.0", false, "normal", "1.0.0\n2.0.0\n", true, nullptr},
    {"1.5.0", true, "abtest", "1.0.0\n2.0.0\n", false, "old"},
    {"1.5.0", false, "normal", nullptr, false, nullptr},
    {nullptr, false, "normal", nullptr, false, nullptr},
    {"2.0.0", false, nullptr, "2.0.0\n", false, nullptr},
};

class EndTableTest : public UpdateManagerTest, public ::testing::WithParamInterface<EndRow> {};

TEST_P(EndTableTest, CompletesOnlyOnTheTarget) {
    const EndRow& row = GetParam();
    const std::string flagFile = TRUSTED + ABTEST_FILE;
    WriteOrRemove(std::string("packages/") + HOME_VERSION_PKG, row.installedVersion);
    WriteOrRemove(flagFile, row.abtestFlagBefore ? "old" : nullptr);
    std::string major = row.majorGroup ? MajorInfo("2.0.0", row.majorGroup) : "";
    WriteOrRemove(MAJOR_FILE, row.majorGroup ? major.c_str() : nullptr);
    WriteOrRemove(TRUSTED + ".home_version_tracker", row.tracker);
    device.Write(DATA + "hidden_mode", "");
    StartManager();

    ASSERT_TRUE(DeliverStoreStatus(device, "priority0_end"));

    const std::string failed = "(Requested version and installed version are different)";
    std::string message = LastMessage();
    EXPECT_NE(std::string::npos, message.find(row.completed ? "2.0.0" : failed)) << message;
    EXPECT_EQ(row.completed, message.find(failed) == std::string::npos) << message;
    std::string flag = row.flagAfter ? row.flagAfter : "";
    EXPECT_EQ(flag == "=RESPONSE" ? major : flag, device.Read(flagFile));
    EXPECT_EQ(row.flagAfter != nullptr, device.Exists(flagFile));
    // The target is finished with either way.
    EXPECT_EQ("", Singleton<TriggerHomeVersion>::GetInstance()->GetVersion());
}

INSTANTIATE_TEST_SUITE_P(Rows, EndTableTest, ::testing::ValuesIn(END_ROWS));

// ---- a requested update from "ready" to its stop, and the view in full screen ----------------

struct FullscreenRow {
    const char* fullscreenAppId;  // nullptr: the key cannot be read
    bool launched;
};

const FullscreenRow FULLSCREEN_ROWS[] = {
    {"s:com.talvoro.tv.homeupdateview", false},
    {"s:com.talvoro.tv.homeupdateview.settings", true},
    // Nobody says the view fills the screen: it is launched rather than leave the user blind.
    {nullptr, true},
};

class RequestedUpdateTest : public UpdateManagerTest,
                            public ::testing::WithParamInterface<FullscreenRow> {};

TEST_P(RequestedUpdateTest, ReadyStartsAndTheStopEndsIt) {
    WriteOrRemove("kdb/" + FULLSCREEN, GetParam().fullscreenAppId);
    StartManager();

    vconf_set_str(HOME_STATUS.c_str(), "ready");
    ASSERT_TRUE(RunLoopUntil([&] { return StrKey(device, HOME_STATUS) == "start"; }));
    ASSERT_TRUE(DeliverStoreStatus(device, "priority0_failed"));

    EXPECT_EQ(1u, Entries(device, "store.jsonl", "call", "pax_request_priority_update").size());
    EXPECT_EQ("done", StrKey(device, HOME_STATUS));
    std::vector<Json::Value> launches = LaunchesTo(device, HOME_UPDATE_VIEW_APP_ID);
    if (!GetParam().launched) {
        EXPECT_TRUE(launches.empty());
        return;
    }
    ASSERT_EQ(2u, launches.size());
    EXPECT_EQ("LaunchReason=LoadingUI" + CALLER, Extra(launches[0]));
    EXPECT_EQ(STOP + "priority0_failed" + CALLER, Extra(launches[1]));
}

INSTANTIATE_TEST_SUITE_P(Rows, RequestedUpdateTest, ::testing::ValuesIn(FULLSCREEN_ROWS));

TEST_F(UpdateManagerTest, DoNotUpdateUsesUpTheTriesAndAsksNotToOfferItAgain) {
    device.Write(DATA + "hidden_mode", "");
    StartManager();
    ASSERT_TRUE(DeliverStoreStatus(device, "priority0_start"));
    ASSERT_TRUE(DeliverStoreStatus(device, "priority0_downloaded"));
    ASSERT_EQ("1/3@2.0.0", Counter(USER_FILE));

    Singleton<UpdateStatusMonitor>::GetInstance()->SetUserRequestStatus(DO_NOT_UPDATE, "");

    EXPECT_EQ("3/3@2.0.0", Counter(USER_FILE));
    EXPECT_EQ("0/6@2.0.0", Counter(REQUEST_FILE));
    std::vector<Json::Value> recoveries =
        Entries(device, "store.jsonl", "call", "pax_add_recovery_action");
    ASSERT_EQ(1u, recoveries.size());
    EXPECT_EQ("action=prevent_update;caller=com.talvoro.tv.brenwick;appid=" + HOME_APP_ID +
                  ";version=2.0.0",
              Extra(recoveries[0]));
    EXPECT_EQ("", Singleton<TriggerHomeVersion>::GetInstance()->GetVersion());
    EXPECT_THAT(LastMessage(), ::testing::EndsWith("Skip This Version Update. (version: 2.0.0))"));
}

// ---- power-off -------------------------------------------------------------------------------

struct PowerRow {
    const char* storeStatus;  // as the key file holds it
    const char* change;       // "previous next"
    const char* homeAfter;
};

const PowerRow POWER_ROWS[] = {{"s:priority0_downloaded", "1 3", "none"},
                               {"s:install_later", "1 3", "start"},
                               {"s:priority0_downloaded", "3 3", "start"}};

class PowerTableTest : public UpdateManagerTest, public ::testing::WithParamInterface<PowerRow> {};

TEST_P(PowerTableTest, PowerOffForgetsAPriority0Update) {
    const PowerRow& row = GetParam();
    SetKeyQuietly(device, HOME_STATUS, "start");
    WriteOrRemove("kdb/" + BIU_STATUS, row.storeStatus);
    StartManager();

    std::string output;
    ASSERT_EQ(0, device.Tvctl(std::string("power ") + row.change, &output)) << output;
    // An event that changes nothing leaves no trace: give it time to arrive.
    RunLoopFor(500);

    EXPECT_EQ(row.homeAfter, StrKey(device, HOME_STATUS));
}

INSTANTIATE_TEST_SUITE_P(Rows, PowerTableTest, ::testing::ValuesIn(POWER_ROWS));

}  // namespace
