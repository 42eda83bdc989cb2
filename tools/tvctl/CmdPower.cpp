// Power-state changes and the power journal.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Commands.h"
#include "ConsoleUtil.h"
#include "HostCore.h"
#include "JournalPrint.h"

namespace tvctl {
namespace {

const char* const POWER_USAGE = "power PREVIOUS NEW";
const char* const REBOOTS_USAGE = "reboots [-f]";

// run/APPID.power names the process that subscribed; one that ended subscribes no more.
bool Subscribed(const std::string& appId) {
    std::string text;
    if (!tvhost::ReadWholeFile(tvhost::RootPath("run/" + appId + ".power"), &text))
        return false;
    return tvhost::ProcessAlive(strtol(text.c_str(), nullptr, 10));
}

int Power(const Args& args) {
    int previous = 0;
    int next = 0;
    std::string problem = WrongArgs(args, {"PREVIOUS", "NEW"});
    if (problem.empty())
        problem = IntProblem("PREVIOUS", args[0], INT_MIN, INT_MAX, &previous);
    if (problem.empty())
        problem = IntProblem("NEW", args[1], INT_MIN, INT_MAX, &next);
    if (!problem.empty())
        return BadUsage(problem);
    if (OnlyChecking())
        return EXIT_DONE;
    Json::Value message(Json::objectValue);
    message["kind"] = "power_state";
    message["previous"] = previous;
    message["new"] = next;
    int delivered = 0;
    for (const auto& appId : tvhost::RunningApps()) {
        if (!Subscribed(appId) || tvhost::SendToApp(appId, message) != 0)
            continue;
        printf("power state %d -> %d delivered to %s\n", previous, next, appId.c_str());
        ++delivered;
    }
    if (delivered == 0)
        return Fail(EXIT_FAILED, "no running application subscribed to power-state changes");
    printf("%d application(s) got the change\n", delivered);
    return EXIT_DONE;
}

int Reboots(const Args& args) {
    return PrintJournal(args, "power.jsonl");
}

}  // namespace

TVCTL_COMMAND("power", POWER_USAGE,
              "deliver a power-state change to every running application that subscribed", Power);
TVCTL_COMMAND("reboots", REBOOTS_USAGE, "print the power journal (-f follows it)", Reboots);

}  // namespace tvctl
