// The real brenwick binary on a temporary television, driven with tvctl the way a QA engineer
// would: each test is one behaviour a user relies on, checked in the journals, keys and files.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <sstream>
#include <string>

#include "ServiceProcess.h"
#include "TestDevice.h"

namespace {

constexpr const char* TRUSTED = "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/shared/trusted/";
constexpr const char* BRENWICK_ID = "com.talvoro.tv.brenwick";
const std::string LOADING = std::string("LaunchReason=LoadingUI;Caller=") + BRENWICK_ID + ";\n";
constexpr const char* FAST_PLAY = "store play --step-delay 0.15 --answer-timeout 10";

// The value of `key` in a journal entry's extra data.
std::string Extra(const Json::Value& entry, const std::string& key) {
    for (const auto& pair : entry["extra"]) {
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

    std::string ViewLaunches() { return device.Launches("com.talvoro.tv.homeupdateview"); }
    std::vector<Json::Value> Toasts() {
        return device.Entries("launch.jsonl", "app_id", "com.talvoro.tv.syspopup");
    }
    int StoreCalls(const std::string& call) {
        return static_cast<int>(device.Entries("store.jsonl", "call", call).size());
    }

    std::string HomeStatus() { return device.Key("memory/home/priority_update_status"); }

    TestDevice device;
    ServiceProcess service{device};
};

TEST_F(EndToEnd, UserAcceptsAndTheHomeIsUpdated) {
    auto play = PlayInBackground();
    int id = WaitForNotification();
    ASSERT_GE(id, 0);
    ASSERT_EQ(0, device.Tvctl("press " + std::to_string(id) + " 2"));
    std::string story = play.get();
    ASSERT_TRUE(service.Settle());

    EXPECT_NE(std::string::npos, story.find("store: answer allow_install")) << story;
    EXPECT_EQ(LOADING, ViewLaunches());
    EXPECT_TRUE(device.LogHas("Major: 2.0.0|normal, Installed: 2.0.0|normal"));
    EXPECT_FALSE(device.Exists(std::string(TRUSTED) + "abtest"));
}

TEST_F(EndToEnd, DownloadFailuresUpToTheLimitStopTheVersion) {
    std::string story;
    device.Tvctl(std::string(FAST_PLAY) + " --max-retry 1 --fail download --attempts 3", &story);
    ASSERT_TRUE(service.Settle());

    EXPECT_EQ(1, StoreCalls("pax_add_recovery_action")) << story;
    EXPECT_EQ(1, device.LogCount("[Increase] request_retry.txt, try: 1"));
    EXPECT_EQ(1, device.LogCount("[Increase] request_retry.txt, try: 2"));
    EXPECT_EQ(1, device.LogCount("[Not Updated] request_retry.txt. max rety count 2"));
}

TEST_F(EndToEnd, RequestedUpdateRunsFromValidationToDone) {
    std::string serveOutput;
    auto serve = std::async(std::launch::async,
                            [&] { device.Tvctl("store serve --step-delay 0.15", &serveOutput); });
    ASSERT_TRUE(WaitUntil([&] { return device.Exists("run/tvctl.store.sock"); }));
    ASSERT_EQ(0, device.Tvctl("launch com.talvoro.tv.brenwick LaunchReason=CheckUpdateValidation"));

    EXPECT_TRUE(WaitUntil([&] { return HomeStatus() == "s:done"; }, 15000)) << HomeStatus();
    // Only this device's store: other tests may serve one of their own meanwhile.
    EXPECT_EQ(0, device.Tvctl("stop tvctl.store"));
    serve.get();
    ASSERT_TRUE(service.Settle());

    EXPECT_EQ(1, StoreCalls("pax_request_priority_update"));
    EXPECT_EQ(LOADING + "LaunchReason=StopUI;PriorityUpdate=true;StopUI=priority0_end;Caller=" +
                  BRENWICK_ID + ";\n",
              ViewLaunches());
    EXPECT_TRUE(device.Journal("notification.jsonl").empty());
}

struct Refusal {
    const char* name;
    const char* setup;
    const char* toast;
};

class RefusedRequest : public EndToEnd, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedRequest, IsToastedAndWritesNothing) {
    ASSERT_EQ(0, device.Tvctl(GetParam().setup));
    ASSERT_TRUE(service.Settle());
    std::string homeBefore = HomeStatus();
    // A home status of "start" written from outside starts an update of its own: count from here.
    int requestsBefore = StoreCalls("pax_request_priority_update");
    ASSERT_EQ(0, device.Tvctl("launch com.talvoro.tv.brenwick LaunchReason=CheckUpdateValidation"));

    ASSERT_TRUE(service.Settle());
    ASSERT_EQ(1u, Toasts().size());
    EXPECT_EQ(GetParam().toast, Extra(Toasts()[0], "text"));
    EXPECT_EQ(homeBefore, HomeStatus());
    EXPECT_EQ(requestsBefore, StoreCalls("pax_request_priority_update"));
    EXPECT_FALSE(device.LogHas("Request Priority Update to PAX"));
}

INSTANTIATE_TEST_SUITE_P(
    EveryReason, RefusedRequest,
    ::testing::Values(
        Refusal{"HomeStatusStart", "set memory/home/priority_update_status start",
                "priority home update status already start"},
        Refusal{"SyncStarting", "store sync-status 1", "sync status is init or start"},
        Refusal{"SyncStatusUnreadable", "fault add pax_get_apps_sync_status -1",
                "fail to get apps sync status"},
        Refusal{"Installing", "set memory/pax/priority_biu_status priority0_installed",
                "priority biu status is on install"},
        Refusal{"HomeStatusUnreadable", "unset memory/home/priority_update_status",
                "return vconf fail"}),
    RowName());

// The service keeps the rules it read until `faults` changes: each change, by the console or by
// hand, a new file, the same one rewritten or its removal, counts from the next launch on.
TEST_F(EndToEnd, FaultRulesCountFromTheNextCallAfterEachChange) {
    const std::string rule = "app_control_send_launch_request ";
    struct Change {
        const char* name;
        std::function<void()> make;
        int launchResult;
    };
    const Change changes[] = {
        {"None", [] {}, 0},
        {"AddedByTheConsole", [&] { device.Tvctl("fault add " + rule + "-5"); }, -5},
        {"ClearedByTheConsole", [&] { device.Tvctl("fault clear"); }, 0},
        {"WrittenByHand", [&] { device.Write("faults", rule + "-7\n"); }, -7},
        {"RewrittenInPlace", [&] { device.Write("faults", "# another\n" + rule + "-8\n"); }, -8},
        {"RemovedByHand", [&] { device.Remove("faults"); }, 0},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(change.name);
        change.make();
        auto views = [&] {
            return device.Entries("launch.jsonl", "app_id", "com.talvoro.tv.homeupdateview");
        };
        size_t before = views().size();
        device.Tvctl("set memory/pax/priority_biu_status priority0_installprogress");
        ASSERT_TRUE(WaitUntil([&] { return views().size() > before; }));
        EXPECT_EQ(change.launchResult, views().back()["result"].asInt());
    }
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
        ASSERT_TRUE(service.Settle()) << "service stopped answering after: " << input;
    }
    device.Write("store/major_file_info.json", "[1, 2, 3]");
    device.Tvctl("set memory/pax/priority_biu_status priority0_start");
    ASSERT_TRUE(service.Settle());
    EXPECT_TRUE(device.LogHas("No valid response"));
    EXPECT_EQ(0, StoreCalls("pax_request_priority_update")) << "only \"start\" starts an update";

    // Still answering: a real update goes through afterwards.
    auto play = PlayInBackground();
    int id = WaitForNotification();
    ASSERT_EQ(0, device.Tvctl("press " + std::to_string(id) + " 2"));
    EXPECT_NE(std::string::npos, play.get().find("store: answer allow_install"));
    EXPECT_TRUE(service.Settle());
}

}  // namespace

TEST(ServiceLifecycle, StopsOnRequestLogsItsLifeInOrderAndLeavesNoRunFiles) {
    TestDevice device;
    ServiceProcess service(device);
    ASSERT_TRUE(service.Start());
    const std::string pid = std::to_string(service.Pid());
    std::string output;
    EXPECT_EQ(0, device.Tvctl("ps", &output));
    EXPECT_EQ("com.talvoro.tv.brenwick " + pid + "\n", output);
    ASSERT_EQ(0, device.Tvctl("stop com.talvoro.tv.brenwick"));
    ASSERT_EQ(0, service.WaitExit());
    EXPECT_FALSE(device.Exists("run/com.talvoro.tv.brenwick.sock"));
    EXPECT_FALSE(device.Exists("run/com.talvoro.tv.brenwick.pid"));

    // Each line in order, with its priority letter, unit and function from the house prefix.
    const char* const lines[][3] = {
        {"I", "Main.cpp: main(", "> Begin"},
        {"I", "BrenwickMain.cpp: ServiceAppInit(", "> Init BrenwickMain"},
        {"I", "BrenwickMain.cpp: OnCreate(", "> Create BrenwickMain"},
        {"I", "BrenwickMain.cpp: OnTerminate(", "> Terminate BrenwickMain"},
        {"E", "BrenwickMain.cpp: ServiceAppInit(", "> service_app_main() done -> ret: 0"},
        {"I", "Main.cpp: main(", "> ServiceAppInit => 0"},
    };
    std::stringstream log(device.Log());
    std::string line;
    for (const auto& expected : lines) {
        bool found = false;
        while (!found && std::getline(log, line))
            found = line.find(expected[2]) != std::string::npos;
        ASSERT_TRUE(found) << "missing or out of order: " << expected[2];
        std::string origin = std::string(expected[0]) + "/BRENWICK(" + pid + "): " + expected[1];
        EXPECT_NE(std::string::npos, line.find(origin)) << line;
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
