// The fault sweep: every platform call that the host's fault rules know (tvctl fault calls) fails,
// once and then for ever, while the real service lives through a whole session: the hidden test
// mode is switched on; the store service plays an update, its release notes come from a local
// HTTPS server, and the user presses "Update now"; downloads fail up to the retry limit; an
// application asks for an update that the store service then plays; the portal is reset. The
// service must not crash or hang. Then the rule goes (and the service is restarted when the call
// failed during its start-up) and the next update must complete. Then the rule comes back for a
// Home reset and the stop on SIGTERM, which must be clean.
//
//   FaultSweep [--jobs N] [CALL...]      (all calls by default; N runs side by side, default 2)
//
// Prints one line per run and a table at the end; exits 1 when any run crashed, hung, stopped
// uncleanly or did not complete the update after the fault. Build it with the sanitizers: a
// sanitizer report of any process of a run counts as a crash.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "BackgroundTvctl.h"
#include "FaultCalls.h"
#include "LocalHttpServer.h"
#include "ServiceProcess.h"
#include "TestDevice.h"
#include "UpdateNotifications.h"

namespace {

constexpr const char* SERVICE = "com.talvoro.tv.brenwick";
// While a rule is in force the notification may never show: the store gives up soon. The update
// after the fault has time to spare for a loaded machine.
constexpr const char* PLAY_TIMING = "--step-delay 0.05 --answer-timeout 2";
constexpr const char* UNHURRIED_PLAY_TIMING = "--step-delay 0.1 --answer-timeout 10";
constexpr int START_MS = 10000;
constexpr int STOP_MS = 10000;

struct RunResult {
    std::string call;
    bool forever = false;
    std::string failedAt;  // once: where the rule was used up
    bool crashed = false;
    bool hung = false;
    bool unclean = false;
    bool completed = false;
    std::string notes;

    void Note(const std::string& text) { notes += (notes.empty() ? "" : "; ") + text; }
    bool Ok() const { return !crashed && !hung && !unclean && completed; }
};

// The RESULT a rule gives: an error code, a null handle, or false.
std::string FailingResult(const tvhost::FaultCall& call) {
    switch (call.result) {
        case tvhost::FaultResult::CODE:
            return "-1";
        case tvhost::FaultResult::HANDLE:
            return "null";
        case tvhost::FaultResult::FALSE:
            return "0";
    }
    return "-1";
}

bool RuleLeft(const TestDevice& device, const std::string& call) {
    std::istringstream lines(device.Read("faults"));
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, call.size() + 1, call + " ") == 0)
            return true;
    }
    return false;
}

// The store service plays an update of VERSION; the user presses "Update now" on its
// notification if one is shown. The store's story.
std::string PlayAndAnswer(const TestDevice& device, const std::string& version,
                          const char* timing = PLAY_TIMING) {
    size_t before = UpdateNotificationIds(device).size();
    BackgroundTvctl play(device, "store play --version " + version + " " + timing);
    int id = -1;
    WaitUntil(
        [&] {
            std::vector<int> ids = UpdateNotificationIds(device);
            if (ids.size() > before)
                id = ids.back();
            return id >= 0 || !play.Running();
        },
        20000);
    if (id >= 0)
        device.Tvctl("press " + std::to_string(id) + " 2");
    play.Wait(30000);
    return play.Output();
}

// "" when the update of VERSION was answered, installed and checked at its end; else what not.
std::string UpdateMissing(const TestDevice& device, const std::string& version,
                          const std::string& story) {
    if (story.find("store: answer allow_install") == std::string::npos)
        return "no \"Update now\" reached the store";
    if (device.Read("packages/com.talvoro.tv.zefo.homeversion") != version + "\n")
        return "the store did not install it";
    if (!device.LogHas("Major: " + version + "|normal, Installed: " + version + "|normal"))
        return "the service did not check the installed version at the end";
    return "";
}

// An application asks for the update; the store service plays it when the service asks it to.
void RequestedUpdate(const TestDevice& device) {
    BackgroundTvctl store(device, std::string("store serve --version 2.1.0 ") + PLAY_TIMING);
    WaitUntil([&] { return store.Output().find("serving") != std::string::npos; }, 5000);
    device.Tvctl(std::string("launch ") + SERVICE + " LaunchReason=CheckUpdateValidation");
    WaitUntil([&] { return store.Output().find("priority0_end") != std::string::npos; }, 4000);
    store.Stop();
}

// The store service tries twice to download a version that may be tried twice; both fail.
void DownloadFailsToTheLimit(const TestDevice& device) {
    BackgroundTvctl play(device,
                         "store play --version 2.2.0 --max-retry 1 --fail download --attempts 2 " +
                             std::string(PLAY_TIMING));
    play.Wait(10000);
}

// The portal is reset: the service wipes its data.
void PortalReset(const TestDevice& device) {
    device.Tvctl("set -t int db/lumaport/reset_count 1");
    device.Tvctl("set -t int memory/kesh/lumaport_reset_state 1");
    WaitUntil([&] { return device.LogHas("DeleteAllFiles"); }, 1000);
}

// The Home asks for a Home reset: the service reboots the set, or reports "none".
void HomeReset(const TestDevice& device, ServiceProcess& service) {
    device.Tvctl("set db/home/reset_status start");
    WaitUntil(
        [&] {
            std::string status = device.Key("db/home/reset_status");
            return status == "s:done" || status == "s:none" || !service.Running();
        },
        3000);
    WaitUntil([&] { return !service.Running() || device.Key("db/home/reset_status") == "s:none"; },
              1000);
}

void StopCleanly(ServiceProcess& service, RunResult* result) {
    kill(service.Pid(), SIGTERM);
    int status = service.WaitExit(STOP_MS);
    if (service.Running()) {
        result->hung = true;
        result->Note("did not stop on SIGTERM");
        kill(service.Pid(), SIGKILL);
        service.WaitExit(STOP_MS);
    } else if (status != 0) {
        result->unclean = true;
        result->Note(status < 0 ? "a signal ended it at SIGTERM"
                                : "exit " + std::to_string(status) + " at SIGTERM");
    }
}

// A service that ended without being asked: a reboot it requested is a clean end.
void EndedByItself(const TestDevice& device, ServiceProcess& service, const char* when,
                   RunResult* result) {
    int status = service.WaitExit(0);
    bool rebooted = device.Read("log/power.jsonl").find("\"reboot\"") != std::string::npos;
    if (status == 0 && rebooted)
        return;
    result->crashed = true;
    result->Note(std::string("ended ") + when + " (" +
                 (status < 0 ? "signal" : "exit " + std::to_string(status)) + ")");
}

// Reports the sanitizers wrote for any process of the run: their first error line each.
bool SanitizerReports(const std::string& dir, RunResult* result) {
    DIR* listing = opendir(dir.c_str());
    if (!listing)
        return false;
    bool found = false;
    while (struct dirent* entry = readdir(listing)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream report(dir + "/" + entry->d_name);
        std::string line, first;
        while (std::getline(report, line) && first.empty()) {
            if (line.find("ERROR") != std::string::npos ||
                line.find("runtime error") != std::string::npos)
                first = line;
        }
        result->Note("sanitizer: " + (first.empty() ? std::string(entry->d_name) : first));
        found = true;
    }
    closedir(listing);
    return found;
}

void SendSanitizerReportsTo(const std::string& dir) {
    mkdir(dir.c_str(), 0755);
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
        const char* old = getenv(name);
        std::string options = old ? old : "";
        options += (options.empty() ? "" : ":") + std::string("log_path=") + dir + "/report";
        setenv(name, options.c_str(), 1);
    }
}

RunResult Sweep(const tvhost::FaultCall& call, bool forever, bool* failsAtStartUp) {
    RunResult result;
    result.call = call.name;
    result.forever = forever;
    TestDevice device;
    std::string sanitizerDir = device.Path("sanitizer");
    SendSanitizerReportsTo(sanitizerDir);
    std::string rule = std::string(call.name) + " " + FailingResult(call) + (forever ? "" : " 1");
    device.Tvctl("fault add " + rule);
    auto usedUp = [&](const char* where) {
        if (!forever && result.failedAt.empty() && !RuleLeft(device, call.name))
            result.failedAt = where;
    };

    LocalHttpServer releaseNotes("IP:127.0.0.1");
    releaseNotes.SetReply({200,
                           {R"({"rsp":{"stat":"ok","app":{"version":"2.0.0","description":)"
                            R"("A brighter Home."}}})"},
                           0});
    device.Write("config/server_url", releaseNotes.BaseUrl());
    device.Write("config/ca.pem", releaseNotes.CertificatePem());

    ServiceProcess service(device);
    service.Start(START_MS);
    usedUp("start-up");
    if (!service.Running()) {
        int status = service.WaitExit(0);
        if (status < 0) {
            result.crashed = true;
            result.Note("a signal ended it at start-up");
        } else {
            result.Note("refused to start (exit " + std::to_string(status) + ")");
        }
    } else {
        device.Tvctl(std::string("launch ") + SERVICE + " LaunchReason=Hidden_Key");
        PlayAndAnswer(device, "2.0.0");
        DownloadFailsToTheLimit(device);
        RequestedUpdate(device);
        PortalReset(device);
        usedUp("session");
        if (!service.Running())
            EndedByItself(device, service, "during the session", &result);
    }

    // The rule goes; a call that failed during start-up needs a start without it.
    device.Tvctl("fault clear");
    if (!forever)
        *failsAtStartUp = result.failedAt == "start-up";
    if (service.Running() && *failsAtStartUp)
        StopCleanly(service, &result);
    if (!service.Running() && !service.Start(START_MS))
        result.Note("did not start again without the rule");
    if (service.Running()) {
        std::string missing =
            UpdateMissing(device, "3.0.0", PlayAndAnswer(device, "3.0.0", UNHURRIED_PLAY_TIMING));
        result.completed = missing.empty();
        if (!result.completed)
            result.Note("the update after the fault did not complete: " + missing);
    }

    // The rule comes back for the end of the session.
    device.Tvctl("fault add " + rule);
    if (service.Running()) {
        HomeReset(device, service);
        usedUp("reset or stop");
        if (service.Running()) {
            StopCleanly(service, &result);
        } else {
            EndedByItself(device, service, "at the Home reset", &result);
        }
    }
    usedUp("reset or stop");
    if (!forever && result.failedAt.empty())
        result.failedAt = "never made";
    result.crashed = SanitizerReports(sanitizerDir, &result) || result.crashed;
    return result;
}

// ---- runs side by side, one process per call ---------------------------------------------

std::string Serialize(const RunResult& r) {
    std::ostringstream line;
    line << r.call << '\t' << r.forever << '\t' << r.failedAt << '\t' << r.crashed << '\t' << r.hung
         << '\t' << r.unclean << '\t' << r.completed << '\t' << r.notes << '\n';
    return line.str();
}

bool Parse(const std::string& line, RunResult* r) {
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');)
        fields.push_back(field);
    if (fields.size() < 7)
        return false;
    r->call = fields[0];
    r->forever = fields[1] == "1";
    r->failedAt = fields[2];
    r->crashed = fields[3] == "1";
    r->hung = fields[4] == "1";
    r->unclean = fields[5] == "1";
    r->completed = fields[6] == "1";
    r->notes = fields.size() > 7 ? fields[7] : "";
    return true;
}

// In a child process: both runs of one call, written to `path`.
void SweepCall(const tvhost::FaultCall& call, const std::string& path) {
    bool failsAtStartUp = false;
    std::string lines = Serialize(Sweep(call, false, &failsAtStartUp));
    lines += Serialize(Sweep(call, true, &failsAtStartUp));
    std::ofstream(path) << lines;
}

void PrintRun(const RunResult& r) {
    printf("%-46s %-8s %-14s %s%s%s\n", r.call.c_str(), r.forever ? "for ever" : "once",
           r.forever ? "" : r.failedAt.c_str(), r.Ok() ? "ok" : "FAIL", r.notes.empty() ? "" : ": ",
           r.notes.c_str());
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    int jobs = 2;
    std::vector<const tvhost::FaultCall*> calls;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--jobs" && i + 1 < argc) {
            jobs = std::max(1, atoi(argv[++i]));
        } else if (const tvhost::FaultCall* call = tvhost::FindFaultCall(argv[i])) {
            calls.push_back(call);
        } else {
            fprintf(stderr, "usage: FaultSweep [--jobs N] [CALL...]; no call %s\n", argv[i]);
            return 2;
        }
    }
    if (calls.empty()) {
        for (const auto& call : tvhost::FaultCalls())
            calls.push_back(&call);
    }
    char scratch[] = "/tmp/faultsweep-XXXXXX";
    if (!mkdtemp(scratch))
        return 2;
    setenv("TMPDIR", scratch, 1);  // the runs' device roots
    printf("fault sweep: %zu of the %zu calls the host knows, each failing once, then for ever\n",
           calls.size(), tvhost::FaultCalls().size());
    printf("%-46s %-8s %-14s %s\n", "CALL", "RULE", "USED UP AT", "RESULT");

    std::map<pid_t, size_t> workers;
    std::vector<RunResult> results;
    int lostWorkers = 0;
    size_t next = 0;
    while (next < calls.size() || !workers.empty()) {
        if (next < calls.size() && static_cast<int>(workers.size()) < jobs) {
            std::string path = std::string(scratch) + "/result-" + std::to_string(next);
            pid_t pid = fork();
            if (pid == 0) {
                SweepCall(*calls[next], path);
                _exit(0);
            }
            workers[pid] = next++;
            continue;
        }
        int status = 0;
        pid_t done = wait(&status);
        if (done < 0)
            break;
        size_t index = workers[done];
        workers.erase(done);
        std::ifstream in(std::string(scratch) + "/result-" + std::to_string(index));
        int runs = 0;
        for (std::string line; std::getline(in, line);) {
            RunResult r;
            if (Parse(line, &r)) {
                PrintRun(r);
                results.push_back(r);
                ++runs;
            }
        }
        if (runs != 2) {
            printf("%-46s the sweep's own process for this call ended early\n", calls[index]->name);
            ++lostWorkers;
        }
    }
    std::string cleanup = std::string("rm -rf '") + scratch + "'";
    if (system(cleanup.c_str()) != 0)
        fprintf(stderr, "cannot remove %s\n", scratch);

    int crashes = 0, hangs = 0, unclean = 0, completed = 0, made = 0, onceRuns = 0;
    for (const auto& r : results) {
        crashes += r.crashed;
        hangs += r.hung;
        unclean += r.unclean;
        completed += r.completed;
        if (!r.forever) {
            ++onceRuns;
            made += r.failedAt != "never made";
        }
    }
    size_t runs = results.size();
    printf("\n");
    printf(
        "| calls covered | calls made while failing | runs | crashes | hangs | unclean stops "
        "| updates completed after the fault |\n");
    printf("|---|---|---|---|---|---|---|\n");
    printf("| %zu / %zu | %d / %d | %zu | %d | %d | %d | %d / %zu (%.0f %%) |\n",
           runs / 2 == calls.size() ? calls.size() : runs / 2, tvhost::FaultCalls().size(), made,
           onceRuns, runs, crashes, hangs, unclean, completed, runs,
           runs ? 100.0 * completed / static_cast<double>(runs) : 0.0);
    bool ok = lostWorkers == 0 && crashes == 0 && hangs == 0 && unclean == 0 &&
              completed == static_cast<int>(runs) && runs == 2 * calls.size();
    return ok ? 0 : 1;
}
