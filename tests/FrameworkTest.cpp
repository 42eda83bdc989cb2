// The service application framework: one instance per application and root, launch requests on
// the main loop, SIGTERM ending the loop, and messages to applications.
//
// The application under test is this very binary started with FRAMEWORK_TEST_APP=1 (see main).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "HostCore.h"
#include "TestDevice.h"
#include "app_control.h"
#include "service_app.h"

extern char** environ;

namespace {

constexpr const char* APP_ID = "com.talvoro.tv.brenwick";

// ---- the application ---------------------------------------------------------------------

void AppendToRootFile(const char* name, const std::string& line) {
    std::ofstream(tvhost::RootPath(name), std::ios::app) << line << "\n";
}

bool AppCreate(void*) {
    AppendToRootFile("app.events", "create");
    return getenv("FRAMEWORK_TEST_CREATE_FAILS") == nullptr;
}

void AppTerminate(void*) {
    AppendToRootFile("app.events", "terminate");
}

void AppControl(app_control_h request, void*) {
    char* reason = nullptr;
    char* caller = nullptr;
    app_control_get_extra_data(request, "LaunchReason", &reason);
    app_control_get_caller(request, &caller);
    AppendToRootFile("app.events", std::string("launch ") + (reason ? reason : "?") + " from " +
                                       (caller ? caller : "?"));
    free(reason);
    free(caller);
}

int RunApp() {
    service_app_lifecycle_callback_s callbacks = {AppCreate, AppTerminate, AppControl};
    int result = service_app_main(0, nullptr, &callbacks, nullptr);
    return result == SERVICE_APP_OK ? 0 : 3;
}

// ---- the tests' side ---------------------------------------------------------------------

struct App {
    pid_t pid = 0;
};

App StartApp(const TestDevice& device, const std::string& extraEnv = "") {
    std::string self = "/proc/self/exe";
    std::vector<std::string> env;
    std::string overridden = extraEnv.substr(0, extraEnv.find('=') + 1);
    for (char** e = environ; *e; ++e) {
        if (overridden.empty() || std::string(*e).rfind(overridden, 0) != 0)
            env.push_back(*e);
    }
    env.push_back("FRAMEWORK_TEST_APP=1");
    if (!extraEnv.empty())
        env.push_back(extraEnv);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, device.Path("app.err").c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    char* argv[] = {&self[0], nullptr};
    App app;
    posix_spawn(&app.pid, self.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return app;
}

int WaitExit(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 1000; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -2;
}

TEST(Framework, SecondInstanceIsRefusedAndSigtermEndsTheFirst) {
    TestDevice device;
    App first = StartApp(device);
    ASSERT_TRUE(RunLoopUntil([] { return tvhost::AppRunning(APP_ID); }, 5000));
    EXPECT_EQ(device.Read("run/com.talvoro.tv.brenwick.pid"), std::to_string(first.pid) + "\n");

    App second = StartApp(device);
    EXPECT_EQ(WaitExit(second.pid), 3);
    EXPECT_NE(device.Read("app.err").find("already running"), std::string::npos);
    EXPECT_TRUE(tvhost::AppRunning(APP_ID));

    std::string output;
    EXPECT_EQ(device.Tvctl("ps", &output), 0);
    EXPECT_EQ(output, "com.talvoro.tv.brenwick " + std::to_string(first.pid) + "\n");
    EXPECT_EQ(device.Tvctl("stop com.talvoro.tv.brenwick", &output), 0) << output;
    EXPECT_EQ(WaitExit(first.pid), 0);
    EXPECT_EQ(device.Read("app.events"), "create\nterminate\n");
    EXPECT_FALSE(device.Exists("run/com.talvoro.tv.brenwick.sock"));
    EXPECT_FALSE(device.Exists("run/com.talvoro.tv.brenwick.pid"));
}

TEST(Framework, LaunchRequestReachesTheAppControlCallback) {
    TestDevice device;
    App app = StartApp(device);
    ASSERT_TRUE(RunLoopUntil([] { return tvhost::AppRunning(APP_ID); }, 5000));
    std::string output;
    EXPECT_EQ(device.Tvctl("launch com.talvoro.tv.brenwick LaunchReason=DetailPopup", &output), 0)
        << output;
    EXPECT_TRUE(RunLoopUntil([&] {
        return device.Read("app.events").find("launch DetailPopup from tvctl") != std::string::npos;
    })) << device.Read("app.events");
    kill(app.pid, SIGINT);
    EXPECT_EQ(WaitExit(app.pid), 0);
}

struct RefusalCase {
    const char* name;
    const char* env;
    const char* says;
};

TEST(Framework, RefusesWithoutARootOrWhenCreateFails) {
    TestDevice device;
    const RefusalCase cases[] = {
        {"no root", "TV_DEVICE_ROOT=/nonexistent/tvdevice", "no provisioned device root"},
        {"create fails", "FRAMEWORK_TEST_CREATE_FAILS=1", "create callback failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        device.Remove("app.err");
        App app = StartApp(device, c.env);
        EXPECT_EQ(WaitExit(app.pid), 3);
        EXPECT_NE(device.Read("app.err").find(c.says), std::string::npos) << device.Read("app.err");
        EXPECT_FALSE(tvhost::AppRunning(APP_ID));
    }
}

// Tests stand in for a running application with ServeApp.
TEST(Framework, MessagesReachTheHandlerOfTheirKind) {
    TestDevice device;
    Json::Value received;
    tvhost::SetMessageHandler("ping", [&](const Json::Value& message) { received = message; });
    EXPECT_EQ(tvhost::SendToApp("com.test.stand.in", Json::Value(Json::objectValue)), -1);
    ASSERT_EQ(tvhost::ServeApp("com.test.stand.in"), SERVICE_APP_OK);
    EXPECT_EQ(tvhost::RunningApps(), std::vector<std::string>{"com.test.stand.in"});

    Json::Value message;
    message["kind"] = "ping";
    message["text"] = std::string(50000, 'x');
    ASSERT_EQ(tvhost::SendToApp("com.test.stand.in", message), 0);
    EXPECT_TRUE(RunLoopUntil([&] { return received == message; }));

    tvhost::StopServing();
    tvhost::SetMessageHandler("ping", nullptr);
    EXPECT_FALSE(tvhost::AppRunning("com.test.stand.in"));
    EXPECT_FALSE(device.Exists("run/com.test.stand.in.sock"));
}

}  // namespace

int main(int argc, char** argv) {
    if (getenv("FRAMEWORK_TEST_APP"))
        return RunApp();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
