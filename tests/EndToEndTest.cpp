// The real brenwick binary on a temporary television, driven with tvctl the way a QA engineer
// would: each test is one behaviour a user relies on, checked in the journals, keys and files.
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <sstream>

#include "ChildProcess.h"
#include "Console.h"
#include "Constants.h"
#include "TestDevice.h"

namespace {

const std::string LOADING = std::string("LaunchReason=LoadingUI;Caller=") + SERVICE_ID + ";\n";
constexpr const char* FAST_PLAY = "--step-delay 0.15 --answer-timeout 10 ";

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(service.Start()) << device.Log(); }
    void TearDown() override { EXPECT_EQ(0, service.Stop()); }

    std::string ViewLaunches() { return device.Launches("com.talvoro.tv.homeupdateview"); }
    int StoreCalls(const std::string& call) {
        return static_cast<int>(device.Entries("store.jsonl", "call", call).size());
    }
    std::string HomeStatus() { return device.Key("memory/home/priority_update_status"); }

    TestDevice device;
    ServiceProcess service{device};
};

// The store's steps one at a time, each once the service has taken the one before: the same
// status written twice in a burst may reach the service as one change, which would hide a failure
// from the count on a loaded machine.
TEST_F(EndToEnd, DownloadFailuresUpToTheLimitStopTheVersion) {
    device.Write("major.json", R"({"id":"com.talvoro.tv.zefo.homeversion","version":"2.0.0",)"
                               R"("targetGroupType":"normal","maxRetryCount":1})");
    ASSERT_EQ(0, device.Tvctl("store major-info " + device.Path("major.json")));
    auto step = [&](const std::string& status, const std::string& takenLine) {
        ASSERT_EQ(0, device.Tvctl("set -t string memory/pax/priority_biu_status " + status));
        ASSERT_TRUE(WaitUntil([&] { return device.LogHas(takenLine); })) << device.Log();
    };
    step("priority0_start", "[Updated] request_retry.txt, max: 2");
    step("priority0_downloadfailed", "[Increase] request_retry.txt, try: 1");
    step("priority0_downloadfailed", "[Increase] request_retry.txt, try: 2");
    step("priority0_downloadfailed", "[Not Updated] request_retry.txt. max rety count 2");
    step("priority0_end", "Set cache priority0_end");
    ASSERT_TRUE(service.Settle());

    EXPECT_EQ(1, StoreCalls("pax_add_recovery_action"));
    EXPECT_EQ(1, device.LogCount("[Increase] request_retry.txt, try: 1"));
    EXPECT_EQ(1, device.LogCount("[Increase] request_retry.txt, try: 2"));
    EXPECT_EQ(1, device.LogCount("[Not Updated] request_retry.txt. max rety count 2"));
}

TEST_F(EndToEnd, RequestedUpdateRunsFromValidationToDone) {
    BackgroundTvctl serve(device, "store serve --step-delay 0.15");
    ASSERT_TRUE(WaitUntil([&] { return device.Exists("run/tvctl.store.sock"); }));
    ASSERT_EQ(0, LaunchService(device, "LaunchReason=CheckUpdateValidation"));

    EXPECT_TRUE(WaitUntil([&] { return HomeStatus() == "s:done"; }, 15000)) << HomeStatus();
    serve.Stop();
    ASSERT_TRUE(service.Settle());

    EXPECT_EQ(1, StoreCalls("pax_request_priority_update"));
    EXPECT_EQ(LOADING + "LaunchReason=StopUI;PriorityUpdate=true;StopUI=priority0_end;Caller=" +
                  SERVICE_ID + ";\n",
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
    ASSERT_EQ(0, LaunchService(device, "LaunchReason=CheckUpdateValidation"));

    ASSERT_TRUE(service.Settle());
    EXPECT_EQ(std::string("app_name=") + SERVICE_ID + ";text=" + GetParam().toast +
                  ";type=toast;Caller=" + SERVICE_ID + ";\n",
              device.Launches("com.talvoro.tv.syspopup"));
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
    EXPECT_NE(std::string::npos,
              PlayAndAccept(device, FAST_PLAY).find("store: answer allow_install"));
    EXPECT_TRUE(service.Settle());
}

}  // namespace

// As a user that is not root, who cannot read a file whatever its mode, as the service runs on a
// set (a child drops root first): the user accepts an update, and the next start finds what the
// service wrote (the reset counts: no second wipe; the test mode's flag; the counters' target).
TEST(ServiceAsItsOwnUser, UserAcceptsAnUpdateAndTheNextStartReadsBackItsFiles) {
    constexpr int CANNOT_DROP = 77, BUILD_UNREACHABLE = 78;
    pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(CANNOT_DROP);
        if (access(BRENWICK_BIN, X_OK) != 0 || access(TVCTL_BIN, X_OK) != 0)
            _exit(BUILD_UNREACHABLE);
        [] {
            TestDevice device;
            ServiceProcess service(device);
            ASSERT_TRUE(service.Start());
            std::string story = PlayAndAccept(device, FAST_PLAY);
            EXPECT_NE(std::string::npos, story.find("store: answer allow_install")) << story;
            ASSERT_EQ(0, LaunchService(device, "LaunchReason=Hidden_Key"));
            ASSERT_TRUE(service.Settle());
            EXPECT_EQ(LOADING, device.Launches("com.talvoro.tv.homeupdateview"));
            EXPECT_TRUE(device.LogHas("Major: 2.0.0|normal, Installed: 2.0.0|normal"));
            EXPECT_FALSE(device.Exists(std::string("fs") + TRUSTED_DIR + "abtest"));
            ASSERT_EQ(0, service.Stop());

            ASSERT_TRUE(service.Start());
            EXPECT_TRUE(device.LogHas("m_isHiddenMode: 1"));
            ASSERT_EQ(0, device.Tvctl("set memory/pax/priority_biu_status priority0_start"));
            EXPECT_TRUE(WaitUntil([&] { return device.LogHas("[Not Updated] user_retry.txt"); }));
            EXPECT_EQ(0, service.Stop());
            EXPECT_EQ(2, device.LogCount("Skip remove root directory")) << "one wipe, at first";
        }();
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == CANNOT_DROP)
        GTEST_SKIP() << "root cannot become uid 65534 here";
    if (WEXITSTATUS(status) == BUILD_UNREACHABLE)
        GTEST_SKIP() << "uid 65534 cannot run the programs of this build";
    EXPECT_EQ(0, WEXITSTATUS(status)) << "its failures are printed above";
}

TEST(ServiceLifecycle, StopsOnRequestLogsItsLifeInOrderAndLeavesNoRunFiles) {
    TestDevice device;
    ServiceProcess service(device);
    ASSERT_TRUE(service.Start());
    const std::string pid = std::to_string(service.Pid());
    std::string output;
    EXPECT_EQ(0, device.Tvctl("ps", &output));
    EXPECT_EQ(std::string(SERVICE_ID) + " " + pid + "\n", output);
    ASSERT_EQ(0, device.Tvctl(std::string("stop ") + SERVICE_ID));
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
    for (const auto& [priority, origin, message] : lines) {
        while (std::getline(log, line) && line.find(message) == std::string::npos) {
        }
        ASSERT_FALSE(line.empty()) << "missing or out of order: " << message;
        EXPECT_NE(std::string::npos,
                  line.find(std::string(priority) + "/BRENWICK(" + pid + "): " + origin))
            << line;
    }
}

TEST(ServiceLifecycle, SecondInstanceOnTheSameRootExitsWithOne) {
    TestDevice device;
    ServiceProcess first(device);
    ASSERT_TRUE(first.Start());

    EXPECT_EQ(1, device.Shell(std::string("TV_LOG_STDERR=0 ") + BRENWICK_BIN));
    EXPECT_TRUE(device.LogHas("service_app_main() failed with error ret: "));
    EXPECT_TRUE(device.LogHas("ServiceAppInit => 1"));
    EXPECT_TRUE(first.Running());
    EXPECT_EQ(0, first.Stop());
}
