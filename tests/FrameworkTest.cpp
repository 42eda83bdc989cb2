// The service application framework: one instance per application and root, launch requests on
// the main loop, SIGTERM ending the loop.
//
// The application under test is this very binary started with FRAMEWORK_TEST_APP=1 (see main).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "HostCore.h"
#include "TestDevice.h"
#include "app_control.h"
#include "service_app.h"

namespace {

constexpr const char* APP_ID = "com.talvoro.tv.brenwick";

// ---- the application ---------------------------------------------------------------------

void AppendEvent(const std::string& line) {
    std::ofstream(tvhost::RootPath("app.events"), std::ios::app) << line << "\n";
}

bool AppCreate(void*) {
    AppendEvent("create");
    return getenv("FRAMEWORK_TEST_CREATE_FAILS") == nullptr;
}

void AppTerminate(void*) {
    AppendEvent("terminate");
}

void AppControl(app_control_h request, void*) {
    char *reason = nullptr, *caller = nullptr;
    app_control_get_extra_data(request, "LaunchReason", &reason);
    app_control_get_caller(request, &caller);
    AppendEvent(std::string("launch ") + (reason ? reason : "?") + " from " +
                (caller ? caller : "?"));
    free(reason);
    free(caller);
}

int RunApp() {
    service_app_lifecycle_callback_s callbacks = {AppCreate, AppTerminate, AppControl};
    return service_app_main(0, nullptr, &callbacks, nullptr) == SERVICE_APP_OK ? 0 : 3;
}

// ---- the tests' side ---------------------------------------------------------------------

const std::string SELF = "/proc/" + std::to_string(getpid()) + "/exe";

// The application in the foreground with `env`: its exit status, and what it printed.
int RunAppHere(const TestDevice& device, const std::string& env, std::string* output) {
    return device.Shell(env + " FRAMEWORK_TEST_APP=1 " + SELF, output);
}

TEST(Framework, SecondInstanceIsRefusedLaunchesArriveAndSigtermEndsTheFirst) {
    TestDevice device;
    ASSERT_EQ(device.Shell(":; (FRAMEWORK_TEST_APP=1 " + SELF + "; echo $? >" +
                           device.Path("app.exit") + ") >/dev/null 2>&1 &"),
              0);
    ASSERT_TRUE(RunLoopUntil([] { return tvhost::AppRunning(APP_ID); }, 5000));
    std::string pid = device.Read("run/com.talvoro.tv.brenwick.pid");
    struct Kill {
        int pid;
        ~Kill() {
            if (tvhost::AppRunning(APP_ID))
                kill(pid, SIGKILL);
        }
    } guard{std::stoi(pid)};

    std::string output;
    EXPECT_EQ(RunAppHere(device, "", &output), 3);
    EXPECT_NE(output.find("already running"), std::string::npos) << output;
    EXPECT_EQ(device.Tvctl("ps", &output), 0);
    EXPECT_EQ(output, "com.talvoro.tv.brenwick " + pid);
    EXPECT_EQ(device.Tvctl("launch com.talvoro.tv.brenwick LaunchReason=DetailPopup"), 0);
    EXPECT_TRUE(RunLoopUntil(
        [&] { return device.Read("app.events").find("launch") != std::string::npos; }));

    EXPECT_EQ(device.Tvctl("stop com.talvoro.tv.brenwick", &output), 0) << output;
    ASSERT_TRUE(RunLoopUntil([&] { return device.Exists("app.exit"); }, 5000));
    EXPECT_EQ(device.Read("app.exit"), "0\n");
    EXPECT_EQ(device.Read("app.events"), "create\nlaunch DetailPopup from tvctl\nterminate\n");
    EXPECT_FALSE(device.Exists("run/com.talvoro.tv.brenwick.sock"));
    EXPECT_FALSE(device.Exists("run/com.talvoro.tv.brenwick.pid"));
}

TEST(Framework, RefusesWithoutARootOrWhenCreateFails) {
    TestDevice device;
    const char* cases[][2] = {
        {"TV_DEVICE_ROOT=/nonexistent/tvdevice", "no provisioned device root"},
        {"FRAMEWORK_TEST_CREATE_FAILS=1", "create callback failed"},
    };
    for (const auto& c : cases) {
        std::string output;
        EXPECT_EQ(RunAppHere(device, c[0], &output), 3) << c[0];
        EXPECT_NE(output.find(c[1]), std::string::npos) << output;
        EXPECT_FALSE(tvhost::AppRunning(APP_ID));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (getenv("FRAMEWORK_TEST_APP"))
        return RunApp();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
