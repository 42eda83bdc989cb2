// The real brenwick binary on a temporary television, driven with tvctl the way a QA engineer
// would: each test is one behaviour a user relies on, checked in the journals, keys and files.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "ServiceProcess.h"
#include "TestDevice.h"

namespace {

constexpr const char* DATA = "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/data/";
constexpr const char* TRUSTED = "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/shared/trusted/";
constexpr const char* FAST_PLAY = "store play --step-delay 0.15 --answer-timeout 10";

std::string Extra(const Json::Value& extra, const std::string& key) {
    for (const auto& pair : extra) {
        if (pair[0].asString() == key)
            return pair[1].asString();
    }
    return "<absent>";
}

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(service.Start()) << device.Log(); }
    void TearDown() override { EXPECT_EQ(0, service.Stop()); }

    std::future<std::string> PlayInBackground(const std::string& options = "") {
        return std::async(std::launch::async, [this, options] {
            std::string output;
            device.Tvctl(std::string(FAST_PLAY) + " " + options, &output);
            return output;
        });
    }

    // Id of the newest posted notification, waiting for one to appear.
    int WaitForNotification(size_t posts = 1) {
        int id = -1;
        WaitUntil([&] {
            size_t seen = 0;
            for (const auto& entry : device.Journal("notification.jsonl")) {
                if (entry["op"].asString() != "post")
                    continue;
                ++seen;
                id = entry["id"].asInt();
            }
            return seen >= posts;
        });
        return id;
    }

    // Journal entries whose extra data (or member, for the store journal) holds the value.
    std::vector<Json::Value> Entries(const std::string& journal, const std::string& key,
                                     const std::string& value) {
        std::vector<Json::Value> found;
        for (const auto& entry : device.Journal(journal)) {
            if (Extra(entry["extra"], key) == value || entry[key].asString() == value)
                found.push_back(entry);
        }
        return found;
    }
    std::vector<Json::Value> Launches(const std::string& reason) {
        return Entries("launch.jsonl", "LaunchReason", reason);
    }
    std::vector<Json::Value> Toasts() { return Entries("launch.jsonl", "type", "toast"); }
    int StoreCalls(const std::string& call) {
        return static_cast<int>(Entries("store.jsonl", "call", call).size());
    }

    std::string HomeStatus() { return device.Key("memory/home/priority_update_status"); }
    std::string HomeVersion() { return device.Read("packages/com.talvoro.tv.zefo.homeversion"); }

    TestDevice device;
    ServiceProcess service{device};
};

TEST_F(EndToEnd, UserAcceptsAndTheHomeIsUpdated) {
    auto play = PlayInBackground();
    int id = WaitForNotification();
    ASSERT_GE(id, 0);
    ASSERT_EQ(0, device.Tvctl("press " + std::to_string(id) + " 2"));
    std::string story = play.get();

    EXPECT_NE(std::string::npos, story.find("store: answer allow_install")) << story;
    EXPECT_EQ("2.0.0\n", HomeVersion());
    EXPECT_EQ(1u, Launches("LoadingUI").size());
    // The service handles the store's last status after the player has ended.
    ASSERT_TRUE(
        WaitUntil([&] { return device.LogHas("Major: 2.0.0|normal, Installed: 2.0.0|normal"); }));
    EXPECT_FALSE(device.Exists(std::string(TRUSTED) + "abtest"));
    EXPECT_EQ("0\n3\n2.0.0|normal\n", device.Read(std::string(DATA) + "user_retry.txt"));
    EXPECT_EQ("0\n6\n2.0.0|normal\n", device.Read(std::string(DATA) + "request_retry.txt"));
}

TEST_F(EndToEnd, NotificationTimeOutPostponesToNextTime) {
    auto play = PlayInBackground();
    int id = WaitForNotification();
    ASSERT_EQ(0, device.Tvctl("hide " + std::to_string(id) + " timeout"));
    std::string story = play.get();

    EXPECT_NE(std::string::npos, story.find("store: answer deny_install")) << story;
    EXPECT_EQ("1.0.0\n", HomeVersion());
    EXPECT_TRUE(device.LogHas("P0_Downloaded -> CheckNextTime"));
    EXPECT_EQ(0, StoreCalls("pax_add_recovery_action"));
}

TEST_F(EndToEnd, UserDeclinesVersionFromTheDetailsPage) {
    auto play = PlayInBackground();
    int id = WaitForNotification();
    ASSERT_EQ(0, device.Tvctl("press " + std::to_string(id) + " 3"));
    ASSERT_TRUE(WaitUntil([&] { return Launches("DetailPopup").size() == 1; }));
    Json::Value details = Launches("DetailPopup")[0];
    EXPECT_EQ("com.talvoro.tv.zefo.homeversion", Extra(details["extra"], "appId"));
    EXPECT_EQ("2.0.0", Extra(details["extra"], "appVersion"));

    ASSERT_EQ(
        0, device.Tvctl("launch com.talvoro.tv.brenwick LaunchReason=DetailPopup RequestStatus=3"));
    std::string story = play.get();

    EXPECT_NE(std::string::npos, story.find("store: answer deny_install")) << story;
    ASSERT_EQ(1, StoreCalls("pax_add_recovery_action"));
    Json::Value recovery = Entries("store.jsonl", "call", "pax_add_recovery_action")[0];
    EXPECT_EQ("prevent_update", Extra(recovery["extra"], "action"));
    EXPECT_EQ("2.0.0", Extra(recovery["extra"], "version"));
    // The service handles the store's last status after the player has ended.
    ASSERT_TRUE(WaitUntil([&] { return device.LogHas("> Major: "); }));
    EXPECT_EQ("0\n3\n2.0.0|normal\n", device.Read(std::string(DATA) + "user_retry.txt"));
    EXPECT_TRUE(device.LogHas("[user_retry.txt] try: 1 => 3 (max)"));
}

TEST_F(EndToEnd, DownloadFailuresUpToTheLimitStopTheVersion) {
    std::string story;
    device.Tvctl(std::string(FAST_PLAY) + " --max-retry 1 --fail download --attempts 3", &story);

    EXPECT_EQ(1, StoreCalls("pax_add_recovery_action")) << story;
    EXPECT_EQ(1, device.LogCount("[Increase] request_retry.txt, try: 1"));
    EXPECT_EQ(1, device.LogCount("[Increase] request_retry.txt, try: 2"));
    EXPECT_TRUE(WaitUntil(
        [&] { return device.LogCount("[Not Updated] request_retry.txt. max rety count 2") == 1; }));
    EXPECT_EQ("1.0.0\n", HomeVersion());
}

TEST_F(EndToEnd, RequestedUpdateRunsFromValidationToDone) {
    std::string serveOutput;
    auto serve = std::async(std::launch::async,
                            [&] { device.Tvctl("store serve --step-delay 0.15", &serveOutput); });
    ASSERT_TRUE(WaitUntil([&] { return device.Exists("run/tvctl.store.sock"); }));
    ASSERT_EQ(0, device.Tvctl("launch com.talvoro.tv.brenwick LaunchReason=CheckUpdateValidation"));

    EXPECT_TRUE(WaitUntil([&] { return HomeStatus() == "s:done"; }, 15000)) << HomeStatus();
    device.Shell("pkill -TERM -f 'tvctl store serve'");
    serve.get();

    EXPECT_EQ(1, StoreCalls("pax_request_priority_update"));
    EXPECT_EQ(1u, Launches("LoadingUI").size());
    ASSERT_EQ(1u, Launches("StopUI").size());
    EXPECT_EQ("true", Extra(Launches("StopUI")[0]["extra"], "PriorityUpdate"));
    EXPECT_EQ("priority0_end", Extra(Launches("StopUI")[0]["extra"], "StopUI"));
    EXPECT_EQ("2.0.0\n", HomeVersion());
    EXPECT_TRUE(device.Journal("notification.jsonl").empty());
}

struct Refusal {
    const char* name;
    const char* setup;
    const char* toast;
    const char* settled;  // the view's launch that shows the service has handled the set-up, or ""
};

class RefusedRequest : public EndToEnd, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedRequest, IsToastedAndWritesNothing) {
    ASSERT_EQ(0, device.Shell(std::string(TVCTL_BIN) + " " + GetParam().setup));
    std::string settled = GetParam().settled;
    ASSERT_TRUE(WaitUntil([&] { return settled.empty() || !Launches(settled).empty(); }));
    std::string homeBefore = HomeStatus();
    // A home status of "start" written from outside starts an update of its own: count from here.
    int requestsBefore = StoreCalls("pax_request_priority_update");
    ASSERT_EQ(0, device.Tvctl("launch com.talvoro.tv.brenwick LaunchReason=CheckUpdateValidation"));

    ASSERT_TRUE(WaitUntil([&] { return !Toasts().empty(); }));
    EXPECT_EQ(GetParam().toast, Extra(Toasts()[0]["extra"], "text"));
    EXPECT_EQ(homeBefore, HomeStatus());
    EXPECT_EQ(requestsBefore, StoreCalls("pax_request_priority_update"));
    EXPECT_FALSE(device.LogHas("Request Priority Update to PAX"));
}

INSTANTIATE_TEST_SUITE_P(
    EveryReason, RefusedRequest,
    ::testing::Values(
        Refusal{"HomeStatusStart", "set memory/home/priority_update_status start",
                "priority home update status already start", "LoadingUI"},
        Refusal{"SyncStarting", "store sync-status 1", "sync status is init or start", ""},
        Refusal{"SyncStatusUnreadable", "fault add pax_get_apps_sync_status -1",
                "fail to get apps sync status", ""},
        Refusal{"Installing", "set memory/pax/priority_biu_status priority0_installed",
                "priority biu status is on install", ""},
        Refusal{"HomeStatusUnreadable", "unset memory/home/priority_update_status",
                "return vconf fail", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EndToEnd, HiddenTestModeFollowsAnUpdate) {
    ASSERT_EQ(0, device.Tvctl("launch com.talvoro.tv.brenwick LaunchReason=Hidden_Key"));
    ASSERT_TRUE(WaitUntil([&] { return device.Exists(std::string(DATA) + "hidden_mode"); }));

    auto play = PlayInBackground();
    int id = WaitForNotification(2);  // the test mode's own notification comes first
    ASSERT_EQ(0, device.Tvctl("press " + std::to_string(id) + " 2"));
    play.get();

    ASSERT_TRUE(WaitUntil([&] { return !device.Exists(std::string(DATA) + "hidden_mode"); }));
    std::vector<std::string> titles;
    for (const auto& entry : device.Journal("notification.jsonl")) {
        if (entry["op"].asString() == "post")
            titles.push_back(entry["texts"][0]["text"].asString());
    }
    EXPECT_GE(std::count(titles.begin(), titles.end(), "Home Update Test Mode"), 2);
    EXPECT_EQ("Home Update Test Mode Off", Extra(Toasts().back()["extra"], "text"));
}

TEST_F(EndToEnd, PowerOffWhileWaitingForTheUserResetsTheHomeStatus) {
    ASSERT_EQ(0, device.Tvctl("set memory/home/priority_update_status done"));
    ASSERT_EQ(0, device.Tvctl("set memory/pax/priority_biu_status priority0_downloaded"));
    ASSERT_GE(WaitForNotification(), 0);
    ASSERT_EQ(0, device.Tvctl("power 1 1"));
    ASSERT_EQ(0, device.Tvctl("power 1 3"));
    EXPECT_TRUE(WaitUntil([&] { return HomeStatus() == "s:none"; })) << HomeStatus();
    EXPECT_EQ(1, device.LogCount("power off [3]"));
}

TEST_F(EndToEnd, HomeResetRecordsTheVersionAndReboots) {
    ASSERT_EQ(0, device.Tvctl("set db/home/reset_status start"));
    EXPECT_EQ(0, service.WaitExit());

    EXPECT_TRUE(device.Exists("fs/opt/usr/home/owner/share/.preload_home_pkg"));
    EXPECT_EQ("1.0.0\n", device.Read(std::string(TRUSTED) + ".home_version_tracker"));
    EXPECT_EQ("s:done", device.Key("db/home/reset_status"));
    auto reboots = device.Journal("power.jsonl");
    ASSERT_EQ(1u, reboots.size());
    EXPECT_EQ(14, reboots[0]["code"].asInt());
}

TEST_F(EndToEnd, StateSurvivesARestart) {
    device.Write("store/major_file_info.json",
                 R"({"id":"com.talvoro.tv.zefo.homeversion","version":"2.0.0",)"
                 R"("targetGroupType":"normal","maxRetryCount":2})");
    // The end of an update clears the count: restart in the middle of one.
    // Writes close together may reach the service as one change: let each be handled first.
    device.Tvctl("set memory/pax/priority_biu_status priority0_start");
    ASSERT_TRUE(WaitUntil([&] { return device.LogHas("[Updated] request_retry.txt"); }));
    device.Tvctl("set memory/pax/priority_biu_status priority0_downloadfailed");
    ASSERT_TRUE(WaitUntil([&] { return device.LogHas("[Increase] request_retry.txt, try: 1"); }));
    ASSERT_EQ(0, service.Stop());
    ASSERT_TRUE(service.Start());

    device.Tvctl("set memory/pax/priority_biu_status priority0_downloadfailed");
    // The count goes on from the saved one instead of starting again at 1.
    ASSERT_TRUE(WaitUntil([&] { return device.LogHas("[Increase] request_retry.txt, try: 2"); }));
    // Saved (durably, which takes a moment) after that line.
    const std::string saved = std::string(DATA) + "request_retry.txt";
    EXPECT_TRUE(WaitUntil([&] { return device.Read(saved) == "2\n4\n2.0.0|normal\n"; }))
        << device.Read(saved);
}

TEST_F(EndToEnd, BadInputLeavesTheServiceWorking) {
    const char* inputs[] = {
        "set memory/pax/priority_biu_status needed_space:abc",
        "set memory/pax/priority_biu_status needed_space:99999999999999",
        "set memory/pax/priority_biu_status 'priority0_end\nx'",
        "set memory/home/priority_update_status Start",
        "launch com.talvoro.tv.brenwick LaunchReason=DetailPopup RequestStatus=abc",
        "launch com.talvoro.tv.brenwick LaunchReason=DetailPopup RequestStatus=99999999999999",
        "launch com.talvoro.tv.brenwick LaunchReason=detailpopup RequestStatus=0",
        "launch com.talvoro.tv.brenwick Other=1",
        "store major-info /dev/null",
    };
    for (const char* input : inputs) {
        device.Tvctl(input);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(service.Running()) << "service stopped after: " << input;
    }
    device.Write("store/major_file_info.json", "[1, 2, 3]");
    device.Tvctl("set memory/pax/priority_biu_status priority0_start");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(service.Running());

    // Still answering: a real update goes through afterwards.
    auto play = PlayInBackground();
    int id = WaitForNotification();
    ASSERT_EQ(0, device.Tvctl("press " + std::to_string(id) + " 2"));
    EXPECT_NE(std::string::npos, play.get().find("store: answer allow_install"));
}

}  // namespace

TEST(FactoryReset, WipesTheServiceDataAtStart) {
    TestDevice device;
    std::string data = std::string(DATA);
    device.Write(data + "hidden_mode", "");
    device.Write(data + "user_retry.txt", "2\n3\n2.0.0|normal\n");
    {
        ServiceProcess first(device);
        ASSERT_TRUE(first.Start());
        ASSERT_EQ(0, first.Stop());
    }
    device.Write(data + "hidden_mode", "");
    device.Write(data + "user_retry.txt", "2\n3\n2.0.0|normal\n");
    ASSERT_EQ(0, device.Tvctl("set -t int db/factory/factory_reset_count 1"));

    ServiceProcess second(device);
    ASSERT_TRUE(second.Start());
    EXPECT_FALSE(device.Exists(data + "hidden_mode"));
    EXPECT_FALSE(device.Exists(data + "user_retry.txt"));
    EXPECT_TRUE(device.Exists(std::string(TRUSTED) + ".resetflag"));
    EXPECT_EQ(0, second.Stop());
}

TEST(ServiceLifecycle, LogsItsLifeInOrderAndExitsCleanly) {
    TestDevice device;
    ServiceProcess service(device);
    ASSERT_TRUE(service.Start());
    ASSERT_EQ(0, service.Stop());

    // Each line in order, with its priority letter, unit and function from the house prefix.
    struct Line {
        const char* origin;
        const char* text;
    };
    const Line lines[] = {
        {"I/BRENWICK(%): Main.cpp: main(", "> Begin"},
        {"I/BRENWICK(%): BrenwickMain.cpp: ServiceAppInit(", "> Init BrenwickMain"},
        {"I/BRENWICK(%): BrenwickMain.cpp: OnCreate(", "> Create BrenwickMain"},
        {"I/BRENWICK(%): BrenwickMain.cpp: OnTerminate(", "> Terminate BrenwickMain"},
        {"E/BRENWICK(%): BrenwickMain.cpp: ServiceAppInit(", "> service_app_main() done -> ret: 0"},
        {"I/BRENWICK(%): Main.cpp: main(", "> ServiceAppInit => 0"},
    };
    std::stringstream log(device.Log());
    std::string line;
    for (const Line& expected : lines) {
        bool found = false;
        while (!found && std::getline(log, line))
            found = line.find(expected.text) != std::string::npos;
        ASSERT_TRUE(found) << "missing or out of order: " << expected.text;
        // "%" stands for the process id.
        std::string origin = expected.origin;
        size_t pid = origin.find('%');
        EXPECT_NE(std::string::npos, line.find(origin.substr(0, pid))) << line;
        EXPECT_NE(std::string::npos, line.find(origin.substr(pid + 1))) << line;
    }
}

TEST(ServiceLifecycle, SecondInstanceOnTheSameRootExitsWithOne) {
    TestDevice device;
    ServiceProcess first(device);
    ASSERT_TRUE(first.Start());

    std::string output;
    int status = device.Shell(std::string("TV_LOG_STDERR=0 ") + BRENWICK_BIN, &output);
    EXPECT_EQ(1, status);
    EXPECT_TRUE(device.LogHas("service_app_main() failed with error ret: "));
    EXPECT_TRUE(device.LogHas("ServiceAppInit => 1"));
    EXPECT_TRUE(first.Running());
    EXPECT_EQ(0, first.Stop());
}
