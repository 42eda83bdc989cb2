// The real brenwick binary on a temporary television: what the update stories (stories/) cannot
// tell, the fault rules changed by hand and the service's own life, checked in the journals and
// the log.
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

    TestDevice device;
    ServiceProcess service{device};
};

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
    // Once started, the host sets up the HTTP library, so that no update waits for it.
    const std::string setUp = "TVHOST(" + pid + "): set up the HTTP library";
    EXPECT_TRUE(WaitUntil([&] { return device.Log().find(setUp) != std::string::npos; }))
        << device.Log();
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
    const std::string all = device.Log();
    size_t created = all.find("> Create BrenwickMain");
    size_t prepared = all.find(setUp);
    EXPECT_LT(created, prepared) << "set up before the create callback";
    EXPECT_EQ(std::string::npos, all.find(setUp, prepared + 1)) << "set up twice";
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
