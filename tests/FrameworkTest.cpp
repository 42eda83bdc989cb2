// The service application framework: SIGTERM ends the loop through the terminate callback and
// leaves no run files behind. (A second instance and launches are shown with the real service in
// EndToEndTest.)
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
#include "service_app.h"

namespace {

constexpr const char* APP_ID = "com.talvoro.tv.brenwick";

// ---- the application ---------------------------------------------------------------------

void AppendEvent(const std::string& line) {
    std::ofstream(tvhost::RootPath("app.events"), std::ios::app) << line << "\n";
}

bool AppCreate(void*) {
    AppendEvent("create");
    return true;
}

void AppTerminate(void*) {
    AppendEvent("terminate");
}

int RunApp() {
    service_app_lifecycle_callback_s callbacks = {AppCreate, AppTerminate, nullptr};
    return service_app_main(0, nullptr, &callbacks, nullptr) == SERVICE_APP_OK ? 0 : 3;
}

// ---- the tests' side ---------------------------------------------------------------------

const std::string SELF = "/proc/" + std::to_string(getpid()) + "/exe";

TEST(Framework, StopRunsTerminateExitsZeroAndRemovesTheRunFiles) {
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
    EXPECT_EQ(device.Tvctl("ps", &output), 0);
    EXPECT_EQ(output, "com.talvoro.tv.brenwick " + pid);
    EXPECT_EQ(device.Tvctl("stop com.talvoro.tv.brenwick", &output), 0) << output;
    ASSERT_TRUE(RunLoopUntil([&] { return device.Exists("app.exit"); }, 5000));
    EXPECT_EQ(device.Read("app.exit"), "0\n");
    EXPECT_EQ(device.Read("app.events"), "create\nterminate\n");
    EXPECT_FALSE(device.Exists("run/com.talvoro.tv.brenwick.sock"));
    EXPECT_FALSE(device.Exists("run/com.talvoro.tv.brenwick.pid"));
}

}  // namespace

int main(int argc, char** argv) {
    if (getenv("FRAMEWORK_TEST_APP"))
        return RunApp();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
