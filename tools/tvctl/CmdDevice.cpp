// The television as a whole: provisioning, cold start, running applications, the platform log,
// the store service's state and fault rules.
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>

#include "Commands.h"
#include "ConsoleUtil.h"
#include "FaultCalls.h"
#include "HostCore.h"
#include "JournalPrint.h"
#include "Provision.h"

namespace tvctl {
namespace {

const char* const INIT_USAGE = "init [--force]";
const char* const STOP_USAGE = "stop APPID";
const char* const LOG_USAGE = "log [-f] [--tag TAG]";
const char* const SYNC_USAGE = "store sync-status N";
const char* const MAJOR_USAGE = "store major-info FILE|-";
const char* const FAULT_ADD_USAGE = "fault add CALL RESULT [TIMES]";

int Init(const Args& args) {
    bool force = !args.empty() && args[0] == "--force";
    if (int code = CheckArgs(Args(args.begin() + (force ? 1 : 0), args.end()), {}))
        return code;
    if (OnlyChecking())
        return EXIT_DONE;
    std::string error;
    if (!tvhost::Provision(force, &error))
        return Fail(EXIT_FAILED, error);
    printf("provisioned a factory-fresh television at %s\n", tvhost::DeviceRoot().c_str());
    return EXIT_DONE;
}

int Boot(const Args& args) {
    if (int code = CheckArgs(args, {}))
        return code;
    if (OnlyChecking())
        return EXIT_DONE;
    std::string error;
    if (!tvhost::ColdBoot(&error))
        return Fail(EXIT_FAILED, error);
    printf("cold start: volatile keys reset, stale run/ entries removed\n");
    return EXIT_DONE;
}

pid_t PidOf(const std::string& appId) {
    std::string text;
    if (!tvhost::ReadWholeFile(tvhost::RootPath("run/" + appId + ".pid"), &text))
        return 0;
    return static_cast<pid_t>(strtol(text.c_str(), nullptr, 10));
}

int Ps(const Args& args) {
    if (int code = CheckArgs(args, {}))
        return code;
    if (OnlyChecking())
        return EXIT_DONE;
    for (const auto& appId : tvhost::RunningApps()) {
        printf("%s %d\n", appId.c_str(), static_cast<int>(PidOf(appId)));
    }
    return EXIT_DONE;
}

// Gone, or a zombie that its parent has yet to reap.
bool ProcessEnded(pid_t pid) {
    if (!tvhost::ProcessAlive(pid))
        return true;
    std::string stat;
    if (!tvhost::ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", &stat))
        return true;
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z';
}

// Waits for the application to end, so that a script can start it again right away.
int Stop(const Args& args) {
    std::string problem = WrongArgs(args, {"APPID"});
    if (problem.empty())
        problem = NameProblem("application id", args[0]);
    if (!problem.empty())
        return BadUsage(problem);
    if (OnlyChecking())
        return EXIT_DONE;
    const std::string& appId = args[0];
    pid_t pid = PidOf(appId);
    if (!tvhost::AppRunning(appId) || pid <= 0) {
        return Fail(EXIT_FAILED, appId + " is not running");
    }
    if (kill(pid, SIGTERM) != 0) {
        return Fail(EXIT_FAILED, "cannot signal " + appId + ": " + strerror(errno));
    }
    for (int waited = 0; waited < 10000; waited += 10) {
        if (ProcessEnded(pid)) {
            printf("stopped %s (pid %d)\n", appId.c_str(), static_cast<int>(pid));
            return EXIT_DONE;
        }
        usleep(10000);
    }
    return Fail(EXIT_FAILED, appId + " (pid " + std::to_string(pid) + ") did not stop in 10 s");
}

// Log lines read "DATE TIME P/TAG(PID): ...", the priority letter at a fixed column.
bool HasTag(const std::string& line, const std::string& tag) {
    const size_t slash = 25;
    std::string wanted = "/" + tag + "(";
    return tag.empty() || (line.size() > slash && line.compare(slash, wanted.size(), wanted) == 0);
}

int Log(const Args& args) {
    bool follow = false;
    std::string tag;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-f") {
            follow = true;
        } else if (args[i] == "--tag" && i + 1 < args.size()) {
            tag = args[++i];
        } else if (args[i] == "--tag") {
            return BadUsage("--tag needs a TAG");
        } else {
            return BadUsage("unexpected argument '" + args[i] + "'");
        }
    }
    if (OnlyChecking())
        return EXIT_DONE;
    ForEachLine(tvhost::RootPath("log/dlog.log"), follow, [&tag](const std::string& line) {
        if (HasTag(line, tag))
            fputs(line.c_str(), stdout);
    });
    return EXIT_DONE;
}

int SyncStatus(const Args& args) {
    int status = 0;
    std::string problem = WrongArgs(args, {"N"});
    if (problem.empty())
        problem = IntProblem("N", args[0], INT_MIN, INT_MAX, &status);
    if (!problem.empty())
        return BadUsage(problem);
    if (OnlyChecking())
        return EXIT_DONE;
    if (!tvhost::WriteFileAtomic(tvhost::RootPath("store/sync_status"), std::to_string(status))) {
        return Fail(EXIT_FAILED, "cannot write store/sync_status");
    }
    printf("store sync status %d\n", status);
    return EXIT_DONE;
}

// Taken as it is, not checked: tests hand the service broken information on purpose.
int MajorInfo(const Args& args) {
    if (int code = CheckArgs(args, {"FILE"}))
        return code;
    if (OnlyChecking())
        return EXIT_DONE;
    std::string text;
    if (args[0] == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else if (!tvhost::ReadWholeFile(args[0], &text)) {
        return Fail(EXIT_FAILED, "cannot read " + args[0]);
    }
    if (!tvhost::WriteFileAtomic(tvhost::RootPath("store/major_file_info.json"), text)) {
        return Fail(EXIT_FAILED, "cannot write store/major_file_info.json");
    }
    printf("store major file information set (%zu bytes)\n", text.size());
    return EXIT_DONE;
}

int FaultAdd(const Args& args) {
    std::string problem = WrongArgs(args, {"CALL", "RESULT", "TIMES"}, 1);
    std::string times = args.size() == 3 ? args[2] : "";
    if (problem.empty()) {
        tvhost::FaultRule rule;
        tvhost::CheckFaultRule(args[0], args[1], times, &rule, &problem);
    }
    if (!problem.empty())
        return BadUsage(problem);
    if (OnlyChecking())
        return EXIT_DONE;
    std::string error;
    if (!tvhost::FaultAdd(args[0], args[1], times, &error))
        return Fail(EXIT_FAILED, error);
    printf("fault: %s returns %s %s\n", args[0].c_str(), args[1].c_str(),
           times.empty() ? "from now on" : (times + " time(s)").c_str());
    return EXIT_DONE;
}

int FaultClear(const Args& args) {
    if (int code = CheckArgs(args, {}))
        return code;
    if (OnlyChecking())
        return EXIT_DONE;
    if (!tvhost::FaultClear())
        return Fail(EXIT_FAILED, "cannot remove faults");
    printf("fault rules cleared\n");
    return EXIT_DONE;
}

// The table, then the calls of the service that no rule can make fail, as comments.
int FaultCallsList(const Args& args) {
    if (int code = CheckArgs(args, {}))
        return code;
    if (OnlyChecking())
        return EXIT_DONE;
    for (const auto& call : tvhost::FaultCalls())
        printf("%s %s\n", call.name, tvhost::FaultResultWord(call.result));
    for (const auto& call : tvhost::UnfaultableCalls())
        printf("# %s cannot be made to fail: %s\n", call.name, call.why);
    return EXIT_DONE;
}

TVCTL_COMMAND("init", INIT_USAGE,
              "provision a factory-fresh television; --force wipes an existing device root "
              "first (never a directory that is not one)",
              Init);
TVCTL_COMMAND("boot", "boot",
              "cold start: volatile keys back to initial values, run/ entries of ended processes "
              "removed",
              Boot);
TVCTL_COMMAND("ps", "ps", "list the running applications (APPID PID)", Ps);
TVCTL_COMMAND("stop", STOP_USAGE, "ask a running application to terminate (SIGTERM) and wait",
              Stop);
TVCTL_COMMAND("log", LOG_USAGE, "print the platform log (-f follows it)", Log);
TVCTL_COMMAND("store sync-status", SYNC_USAGE, "set the store's applications sync status",
              SyncStatus);
TVCTL_COMMAND("store major-info", MAJOR_USAGE,
              "set the major file information from a file or standard input", MajorInfo);
TVCTL_COMMAND("fault add", FAULT_ADD_USAGE,
              "make platform call CALL return RESULT (an int, null or 0 as fault calls lists), "
              "TIMES times or always",
              FaultAdd);
TVCTL_COMMAND("fault clear", "fault clear", "remove every fault rule", FaultClear);
TVCTL_COMMAND("fault calls", "fault calls",
              "list the platform calls a rule can make fail, with the RESULT each takes",
              FaultCallsList);

}  // namespace
}  // namespace tvctl
