// The host keeps its log files open and the listings of installed and running applications
// between calls; what another process changes under the root is still seen by the next call.
#include <gtest/gtest.h>

#include <string>

#include "ServiceProcess.h"
#include "TestDevice.h"
#include "app_control.h"
#include "dlog.h"

namespace {

// The result the launch journal shows for a launch of `appId` with one extra datum.
int Launch(const std::string& appId, const char* reason = "Test") {
    app_control_h handle = nullptr;
    app_control_create(&handle);
    app_control_set_app_id(handle, appId.c_str());
    app_control_add_extra_data(handle, "LaunchReason", reason);
    int result = app_control_send_launch_request(handle, nullptr, nullptr);
    app_control_destroy(handle);
    return result;
}

struct LogMove {
    const char* name;
    const char* command;  // run in the root by another process
    const char* oldLog;   // where the lines written before now are, "" when gone
};

TEST(Changes, LogFilesMovedOrRemovedByAnotherProcessAreMadeAgain) {
    const LogMove moves[] = {
        {"Rotated", "mv log/dlog.log log/dlog.log.1 && mv log/launch.jsonl log/launch.jsonl.1",
         "log/dlog.log.1"},
        {"Removed", "rm log/dlog.log log/launch.jsonl", ""},
        {"DirectoryMoved", "mv log log.old", "log.old/dlog.log"},
        {"DirectoryRemoved", "rm -r log", ""},
    };
    for (const auto& move : moves) {
        SCOPED_TRACE(move.name);
        TestDevice device;
        __dlog_print(LOG_ID_MAIN, DLOG_INFO, "TEST", "before");
        ASSERT_EQ(0, Launch("com.talvoro.tv.syspopup"));
        ASSERT_EQ(0, device.Shell(std::string("cd \"$TV_DEVICE_ROOT\" && ") + move.command));

        __dlog_print(LOG_ID_MAIN, DLOG_INFO, "TEST", "after");
        EXPECT_EQ(0, Launch("com.talvoro.tv.syspopup"));
        EXPECT_TRUE(device.LogHas("): after"));
        EXPECT_FALSE(device.LogHas("): before"));
        EXPECT_EQ(1u, device.Journal("launch.jsonl").size());
        if (*move.oldLog) {
            EXPECT_NE(std::string::npos, device.Read(move.oldLog).find("): before"));
            EXPECT_EQ(std::string::npos, device.Read(move.oldLog).find("): after"));
        }
    }
}

TEST(Changes, ApplicationsInstalledOrStartedMeanwhileAreSeenByTheNextLaunch) {
    TestDevice device;
    EXPECT_EQ(APPCTL_ERR_APP_NOT_FOUND, Launch("com.example.late"));
    ASSERT_EQ(0, device.Tvctl("install com.example.late"));
    EXPECT_EQ(0, Launch("com.example.late"));
    ASSERT_EQ(0, device.Tvctl("uninstall com.example.late"));
    EXPECT_EQ(APPCTL_ERR_APP_NOT_FOUND, Launch("com.example.late"));

    // The service is not running at the first launch; it hears only the one made while it runs.
    const std::string service = "com.talvoro.tv.brenwick";
    EXPECT_EQ(0, Launch(service, "First"));
    ServiceProcess running(device);
    ASSERT_TRUE(running.Start());
    EXPECT_EQ(0, Launch(service, "Second"));
    ASSERT_TRUE(running.Settle());
    ASSERT_EQ(0, running.Stop());
    EXPECT_EQ(0, Launch(service, "Third"));
    EXPECT_FALSE(device.LogHas("Extra Data [LaunchReason] => First"));
    EXPECT_EQ(1, device.LogCount("Extra Data [LaunchReason] => Second"));
    EXPECT_FALSE(device.LogHas("Extra Data [LaunchReason] => Third"));
}

}  // namespace
