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
// uncleanly or did not complete the update after the fault, and when a call the session should
// make was never made (or one listed as never made was made). Build it with the sanitizers: a
// sanitizer report of any process of a run counts as a crash.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "ChildProcess.h"
#include "Console.h"
#include "FaultCalls.h"
#include "LocalHttpServer.h"
#include "TestDevice.h"

namespace fs = std::filesystem;

namespace {

// While a rule is in force the notification may never show: the store gives up soon. The update
// after the fault has time to spare for a loaded machine.
constexpr const char* PLAY_TIMING = "--step-delay 0.05 --answer-timeout 2";
constexpr int START_MS = 10000;

// The calls the host knows that the service never makes, so no session can make them fail. Any
// other call that a run never made is a hole in the session.
const std::map<std::string, const char*> NEVER_MADE = {
    {"vconf_keynode_get_type", "the service knows the type of every key it watches"},
    {"vconf_set_int", "the service writes no integer key"},
    {"vconf_unset", "the service removes no key"},
};

// What a run found. Each call's runs are made in a child process, which writes them into memory
// shared with the sweep.
struct Outcome {
    bool done, crashed, hung, unclean, completed, made, madeAsListed;
    bool Ok() const { return !crashed && !hung && !unclean && completed && madeAsListed; }
};

struct Run {
    Outcome outcome{true, false, false, false, false, false, true};
    std::string failedAt;  // once: where the rule was used up
    std::string notes;
    void Note(const std::string& text) { notes += (notes.empty() ? "" : "; ") + text; }
};

// "" when the update of VERSION was answered, installed and checked at its end; else what not.
std::string UpdateMissing(const TestDevice& device, const std::string& version,
                          const std::string& story) {
    if (story.find("store: answer allow_install") == std::string::npos)
        return "no \"Update now\" reached the store";
    if (device.Read("packages/com.talvoro.tv.zefo.homeversion") != version + "\n")
        return "the store did not install it";
    // The store has ended its play when it has set the last status, which the service may still
    // be handling on a loaded machine.
    std::string checked = "Major: " + version + "|normal, Installed: " + version + "|normal";
    if (!WaitUntil([&] { return device.LogHas(checked); }, 5000))
        return "the service did not check the installed version at the end";
    return "";
}

// The session while the rule is in force.
void Session(const TestDevice& device) {
    LaunchService(device, "LaunchReason=Hidden_Key");
    PlayAndAccept(device, std::string("--version 2.0.0 ") + PLAY_TIMING);
    // Two downloads of a version that may be tried twice both fail.
    BackgroundTvctl(device,
                    "store play --version 2.2.0 --max-retry 1 --fail download --attempts 2 " +
                        std::string(PLAY_TIMING))
        .Wait(10000);
    {
        BackgroundTvctl store(device, std::string("store serve --version 2.1.0 ") + PLAY_TIMING);
        WaitUntil([&] { return store.Output().find("serving") != std::string::npos; }, 5000);
        LaunchService(device, "LaunchReason=CheckUpdateValidation");
        WaitUntil([&] { return store.Output().find("priority0_end") != std::string::npos; }, 4000);
    }
    PortalReset(device);
    WaitUntil([&] { return device.LogHas("DeleteAllFiles"); }, 1000);
}

void StopCleanly(ServiceProcess& service, Run* run) {
    int status = service.Stop(10000);
    if (status == ServiceProcess::HUNG) {
        run->outcome.hung = true;
        run->Note("did not stop on SIGTERM");
    } else if (status != 0) {
        run->outcome.unclean = true;
        run->Note(status < 0 ? "a signal ended it at SIGTERM"
                             : "exit " + std::to_string(status) + " at SIGTERM");
    }
}

// A service that ended without being asked: a reboot it requested is a clean end.
void EndedByItself(const TestDevice& device, ServiceProcess& service, const char* when, Run* run) {
    int status = service.WaitExit(0);
    if (status == 0 && device.Read("log/power.jsonl").find("\"reboot\"") != std::string::npos)
        return;
    run->outcome.crashed = true;
    run->Note(std::string("ended ") + when + " (" +
              (status < 0 ? "signal" : "exit " + std::to_string(status)) + ")");
}

// Reports the sanitizers wrote for any process of the run: their first error line each.
void SanitizerReports(const std::string& dir, Run* run) {
    std::error_code ignored;
    for (const auto& report : fs::directory_iterator(dir, ignored)) {
        std::ifstream in(report.path());
        std::string line;
        while (std::getline(in, line) && line.find("ERROR") == std::string::npos &&
               line.find("runtime error") == std::string::npos) {
        }
        run->Note("sanitizer: " + (line.empty() ? report.path().filename().string() : line));
        run->outcome.crashed = true;
    }
}

void SendSanitizerReportsTo(const std::string& dir) {
    fs::create_directories(dir);
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
        std::string options = getenv(name) ? std::string(getenv(name)) + ":" : "";
        setenv(name, (options + "log_path=" + dir + "/report").c_str(), 1);
    }
}

Run Sweep(const tvhost::FaultCall& call, bool forever, bool* failsAtStartUp) {
    Run run;
    TestDevice device;
    std::string sanitizerDir = device.Path("sanitizer");
    SendSanitizerReportsTo(sanitizerDir);
    bool code = call.result == tvhost::FaultResult::CODE;
    std::string rule = std::string(call.name) + " " +
                       (code ? "-1" : tvhost::FaultResultWord(call.result)) + (forever ? "" : " 1");
    device.Tvctl("fault add " + rule);
    auto usedUp = [&](const char* where) {
        bool left = ("\n" + device.Read("faults")).find("\n" + std::string(call.name) + " ") !=
                    std::string::npos;
        if (!forever && run.failedAt.empty() && !left)
            run.failedAt = where;
    };

    LocalHttpServer releaseNotes("IP:127.0.0.1");
    releaseNotes.SetReply(
        {200, R"({"rsp":{"stat":"ok","app":{"version":"2.0.0","description":"Brighter."}}})", 0});
    device.Write("config/server_url", releaseNotes.BaseUrl());
    device.Write("config/ca.pem", releaseNotes.CertificatePem());

    ServiceProcess service(device);
    service.Start(START_MS);
    usedUp("start-up");
    if (service.Running()) {
        Session(device);
        usedUp("session");
        if (!service.Running())
            EndedByItself(device, service, "during the session", &run);
    } else if (int status = service.WaitExit(0); status < 0) {
        run.outcome.crashed = true;
        run.Note("a signal ended it at start-up");
    } else {
        run.Note("refused to start (exit " + std::to_string(status) + ")");
    }

    // The rule goes; a call that failed during start-up needs a start without it.
    device.Tvctl("fault clear");
    if (!forever)
        *failsAtStartUp = run.failedAt == "start-up";
    if (service.Running() && *failsAtStartUp)
        StopCleanly(service, &run);
    if (!service.Running() && !service.Start(START_MS))
        run.Note("did not start again without the rule");
    if (service.Running()) {
        std::string missing = UpdateMissing(
            device, "3.0.0",
            PlayAndAccept(device, "--version 3.0.0 --step-delay 0.1 --answer-timeout 10"));
        run.outcome.completed = missing.empty();
        if (!missing.empty())
            run.Note("the update after the fault did not complete: " + missing);
    }

    // The rule comes back for the end of the session.
    device.Tvctl("fault add " + rule);
    if (service.Running()) {
        // The Home asks for a Home reset: the service reboots the set, or reports "none".
        device.Tvctl("set db/home/reset_status start");
        WaitUntil(
            [&] { return !service.Running() || device.Key("db/home/reset_status") == "s:none"; },
            4000);
        usedUp("reset or stop");
        if (service.Running())
            StopCleanly(service, &run);
        else
            EndedByItself(device, service, "at the Home reset", &run);
    }
    usedUp("reset or stop");
    run.outcome.made = forever || !run.failedAt.empty();
    auto listed = NEVER_MADE.find(call.name);
    if (!run.outcome.made) {
        run.failedAt = "never made";
        if (listed != NEVER_MADE.end())
            run.Note(listed->second);
        else
            run.Note("the session never made this call");
    }
    run.outcome.madeAsListed = run.outcome.made != (listed != NEVER_MADE.end()) || forever;
    if (run.outcome.made && !forever && listed != NEVER_MADE.end())
        run.Note("made, though listed as a call the service never makes");
    SanitizerReports(sanitizerDir, &run);
    printf("%-46s %-8s %-14s %s%s%s\n", call.name, forever ? "for ever" : "once",
           run.failedAt.c_str(), run.outcome.Ok() ? "ok" : "FAIL", run.notes.empty() ? "" : ": ",
           run.notes.c_str());
    fflush(stdout);
    return run;
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
    std::string scratch = fs::temp_directory_path() / "faultsweep-XXXXXX";
    if (!mkdtemp(&scratch[0]))
        return 2;
    setenv("TMPDIR", scratch.c_str(), 1);  // the runs' device roots
    printf("fault sweep: %zu of the %zu calls the host knows, each failing once, then for ever\n",
           calls.size(), tvhost::FaultCalls().size());
    printf("%-46s %-8s %-14s %s\n", "CALL", "RULE", "USED UP AT", "RESULT");

    // Two runs per call, once and for ever; a run its child never finished stays not done.
    size_t runs = 2 * calls.size();
    auto* outcomes =
        static_cast<Outcome*>(mmap(nullptr, runs * sizeof(Outcome), PROT_READ | PROT_WRITE,
                                   MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    std::fill(outcomes, outcomes + runs, Outcome{});
    for (size_t next = 0; next < calls.size(); ++next) {
        if (next >= static_cast<size_t>(jobs))
            wait(nullptr);  // one run ends before the next starts
        fflush(stdout);     // or the child would print what is still buffered here again
        if (fork() == 0) {
            bool failsAtStartUp = false;
            outcomes[2 * next] = Sweep(*calls[next], false, &failsAtStartUp).outcome;
            outcomes[2 * next + 1] = Sweep(*calls[next], true, &failsAtStartUp).outcome;
            _exit(0);
        }
    }
    while (wait(nullptr) > 0) {
    }
    fs::remove_all(scratch);

    int done = 0, crashes = 0, hangs = 0, unclean = 0, completed = 0, made = 0, unlisted = 0;
    for (size_t i = 0; i < runs; ++i) {
        const Outcome& o = outcomes[i];
        if (!o.done)
            printf("%-46s %-8s the sweep's own process for this run ended early\n",
                   calls[i / 2]->name, i % 2 ? "for ever" : "once");
        done += o.done;
        crashes += o.crashed;
        hangs += o.hung;
        unclean += o.unclean;
        completed += o.completed;
        made += i % 2 == 0 && o.made;
        unlisted += !o.madeAsListed;
    }
    printf("\n");
    printf(
        "| calls covered | calls made while failing | never made, not listed (or listed, made) "
        "| runs | crashes | hangs | unclean stops | updates completed after the fault |\n");
    printf("|---|---|---|---|---|---|---|---|\n");
    printf("| %d / %zu | %d / %zu | %d | %d | %d | %d | %d | %d / %d (%.0f %%) |\n", done / 2,
           tvhost::FaultCalls().size(), made, calls.size(), unlisted, done, crashes, hangs, unclean,
           completed, done, done ? 100.0 * completed / done : 0.0);
    bool ok = done == static_cast<int>(runs) && crashes == 0 && hangs == 0 && unclean == 0 &&
              completed == done && unlisted == 0;
    return ok ? 0 : 1;
}
