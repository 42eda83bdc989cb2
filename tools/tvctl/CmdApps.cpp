// Installed applications and launch requests.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "Commands.h"
#include "ConsoleUtil.h"
#include "HostCore.h"
#include "JournalPrint.h"
#include "app_control.h"

namespace tvctl {
namespace {

const char* const INSTALL_USAGE = "install APPID...";
const char* const UNINSTALL_USAGE = "uninstall APPID...";
const char* const LAUNCH_USAGE = "launch APPID [KEY=VALUE]...";
const char* const LAUNCHES_USAGE = "launches [-f]";

std::string AppPath(const std::string& appId) {
    return tvhost::RootPath("apps/" + appId);
}

// The application ids of install and uninstall: "" when each is a plain name.
std::string AppIdsProblem(const Args& args) {
    if (args.empty())
        return "APPID is missing";
    for (const auto& appId : args) {
        std::string problem = NameProblem("application id", appId);
        if (!problem.empty())
            return problem;
    }
    return "";
}

int Install(const Args& args) {
    std::string problem = AppIdsProblem(args);
    if (!problem.empty())
        return BadUsage(problem);
    if (OnlyChecking())
        return EXIT_DONE;
    tvhost::MakeDirs(tvhost::RootPath("apps"));
    for (const auto& appId : args) {
        if (!tvhost::WriteFileAtomic(AppPath(appId), ""))
            return Fail(EXIT_FAILED, "cannot install " + appId);
        printf("installed %s\n", appId.c_str());
    }
    return EXIT_DONE;
}

// All or nothing, like install: one application that is not installed removes none.
int Uninstall(const Args& args) {
    std::string problem = AppIdsProblem(args);
    if (!problem.empty())
        return BadUsage(problem);
    if (OnlyChecking())
        return EXIT_DONE;
    for (const auto& appId : args) {
        if (access(AppPath(appId).c_str(), F_OK) != 0)
            return Fail(EXIT_FAILED, appId + " is not installed; nothing was uninstalled");
    }
    for (const auto& appId : args) {
        if (unlink(AppPath(appId).c_str()) != 0)
            return Fail(EXIT_FAILED, "cannot uninstall " + appId + ": " + strerror(errno));
        printf("uninstalled %s\n", appId.c_str());
    }
    return EXIT_DONE;
}

using ExtraData = std::vector<std::pair<std::string, std::string>>;

// The extra data after APPID; "" or what is wrong.
std::string ParseExtraData(const Args& args, ExtraData* extra) {
    for (size_t i = 1; i < args.size(); ++i) {
        size_t equals = args[i].find('=');
        if (equals == std::string::npos || equals == 0)
            return "extra data must be KEY=VALUE with a non-empty KEY, got '" + args[i] + "'";
        extra->emplace_back(args[i].substr(0, equals), args[i].substr(equals + 1));
    }
    return "";
}

// Through the platform's own call, so that the request is journaled like any other.
int SendLaunch(const std::string& appId, const ExtraData& extra) {
    app_control_h handle = nullptr;
    int result = app_control_create(&handle);
    if (result != APPCTL_OK)
        return result;
    result = app_control_set_app_id(handle, appId.c_str());
    if (result == APPCTL_OK)
        result = app_control_set_operation(handle, APPCTL_OPERATION_DEFAULT);
    for (size_t i = 0; i < extra.size() && result == APPCTL_OK; ++i)
        result =
            app_control_add_extra_data(handle, extra[i].first.c_str(), extra[i].second.c_str());
    if (result == APPCTL_OK)
        result = app_control_send_launch_request(handle, nullptr, nullptr);
    app_control_destroy(handle);
    return result;
}

int Launch(const Args& args) {
    ExtraData extra;
    std::string problem =
        args.empty() ? "APPID is missing" : NameProblem("application id", args[0]);
    if (problem.empty())
        problem = ParseExtraData(args, &extra);
    if (!problem.empty())
        return BadUsage(problem);
    if (OnlyChecking())
        return EXIT_DONE;
    const std::string& appId = args[0];
    if (!tvhost::AppRunning(appId))
        return Fail(EXIT_FAILED, appId + " is not running; nothing was sent");
    int result = SendLaunch(appId, extra);
    if (result != APPCTL_OK)
        return Fail(EXIT_FAILED, "launch request to " + appId +
                                     " failed (error code: " + std::to_string(result) + ")");
    printf("sent a launch request to %s with %zu extra data\n", appId.c_str(), extra.size());
    return EXIT_DONE;
}

int Launches(const Args& args) {
    return PrintJournal(args, "launch.jsonl");
}

}  // namespace

TVCTL_COMMAND("install", INSTALL_USAGE, "add installed applications", Install);
TVCTL_COMMAND("uninstall", UNINSTALL_USAGE, "remove installed applications", Uninstall);
TVCTL_COMMAND("launch", LAUNCH_USAGE,
              "send a launch request from the caller tvctl to a running application", Launch);
TVCTL_COMMAND("launches", LAUNCHES_USAGE, "print the launch journal (-f follows it)", Launches);

}  // namespace tvctl
