// Installed applications and launch requests.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

int Install(const Args& args) {
    if (args.empty())
        return Usage(INSTALL_USAGE);
    for (const auto& appId : args) {
        if (!tvhost::PlainName(appId))
            return Fail(EXIT_USAGE, "bad application id '" + appId + "'");
    }
    tvhost::MakeDirs(tvhost::RootPath("apps"));
    for (const auto& appId : args) {
        if (!tvhost::WriteFileAtomic(AppPath(appId), ""))
            return Fail(EXIT_FAILED, "cannot install " + appId);
        printf("installed %s\n", appId.c_str());
    }
    return EXIT_DONE;
}

int Uninstall(const Args& args) {
    if (args.empty())
        return Usage(UNINSTALL_USAGE);
    int status = EXIT_DONE;
    for (const auto& appId : args) {
        if (!tvhost::PlainName(appId) || unlink(AppPath(appId).c_str()) != 0) {
            status = Fail(EXIT_FAILED, appId + " is not installed");
            continue;
        }
        printf("uninstalled %s\n", appId.c_str());
    }
    return status;
}

using ExtraData = std::vector<std::pair<std::string, std::string>>;

bool ParseExtraData(const Args& args, ExtraData* extra) {
    for (size_t i = 1; i < args.size(); ++i) {
        size_t equals = args[i].find('=');
        if (equals == std::string::npos || equals == 0)
            return false;
        extra->emplace_back(args[i].substr(0, equals), args[i].substr(equals + 1));
    }
    return true;
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
    if (args.empty() || !tvhost::PlainName(args[0]))
        return Usage(LAUNCH_USAGE);
    if (!ParseExtraData(args, &extra))
        return Fail(EXIT_USAGE, "extra data must be KEY=VALUE with a non-empty KEY");
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
    return PrintJournal(args, LAUNCHES_USAGE, "launch.jsonl");
}

}  // namespace

TVCTL_COMMAND("install", INSTALL_USAGE, "add installed applications", Install);
TVCTL_COMMAND("uninstall", UNINSTALL_USAGE, "remove installed applications", Uninstall);
TVCTL_COMMAND("launch", LAUNCH_USAGE,
              "send a launch request from the caller tvctl to a running application", Launch);
TVCTL_COMMAND("launches", LAUNCHES_USAGE, "print the launch journal (-f follows it)", Launches);

}  // namespace tvctl
