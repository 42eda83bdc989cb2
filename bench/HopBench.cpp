// The whole hop from an event to what the user sees, the service against its floor: a minimal
// program (hop_floor) that does only the observable work, fed by the same writer in the same run.
//
// Two paths, each timed in alternating rounds (service then floor, floor then service, ...), after
// the file system has written back what came before, so that load on the machine weighs on both
// alike:
//   status   "priority0_installprogress" written into the store's status key, until the loading
//            screen's launch is journaled;
//   request  a "CheckUpdateValidation" launch request from an application, until the service's
//            answer (a toast, as the store's sync status is 1) is journaled.
// For each round: median and p99 latency from the start of the write (and from its return) and
// the processor time of each event (median and mean), all threads, from the schedstat of
// /proc/PID/task/* read between events. Then a separate pass under strace counts the system
// calls per event, those on the path (from the wait that ends with the event to the launch
// written) and in all, and lists every call that failed. Each target prints PASS or FAIL, as does
// a pass that did not go through; the exit status is 1 after any FAIL. The floor's work on each
// path, step by step, is written beside it in hop_floor.c.
//
//   build/bench/HopBench [ROUNDS] [SAMPLES] [DIR]    (default 3 rounds of 300, roots in /tmp)
//
// DIR is where the two device roots are made. The file system weighs on the service more than
// on the floor: the service writes a settings key for every status (its cache of the store's
// progress), and a key is written whole as a new file renamed into place. Where making a file is
// dear (ext4 without a journal scans the inodes freed in the last minutes), that write alone can
// cost more than the floor's whole work; on tmpfs (/dev/shm) it costs little.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <cstring>
#include <map>

#include "BenchUtil.h"
#include "HostCore.h"
#include "Provision.h"
#include "vconf.h"

namespace {

constexpr const char* SERVICE_ID = "com.talvoro.tv.brenwick";
constexpr const char* STATUS_KEY = "memory/pax/priority_biu_status";
constexpr int TRACED = 100;
constexpr long GAP_US = 3000;  // after each event, for the work that follows the launch

enum class Path { STATUS, REQUEST };

// Whether a comparison went through at all, and whether it met every target.
struct Outcome {
    bool ran = true;
    bool pass = true;
};

struct Target {
    const char* name;
    std::string root;
    pid_t pid = -1;
};

void UseRoot(const Target& target) {
    setenv("TV_DEVICE_ROOT", target.root.c_str(), 1);
}

// Nanoseconds on a processor of every thread of the process so far.
long long ProcessorNs(pid_t pid) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    long long total = 0;
    DIR* dir = opendir(tasks.c_str());
    if (!dir)
        return 0;
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream in(tasks + "/" + entry->d_name + "/schedstat");
        long long ns = 0;
        if (in >> ns)
            total += ns;
    }
    closedir(dir);
    return total;
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

bool Provisioned(const std::string& root) {
    setenv("TV_DEVICE_ROOT", root.c_str(), 1);
    std::string error;
    if (!tvhost::Provision(false, &error)) {
        printf("FAIL cannot provision %s: %s\n", root.c_str(), error.c_str());
        return false;
    }
    // The launch journal exists before the first launch, so that it can be watched; a sync
    // status of 1 makes the service refuse an update request with a toast.
    close(open(tvhost::RootPath("log/launch.jsonl").c_str(), O_WRONLY | O_CREAT, 0644));
    return tvhost::WriteFileAtomic(tvhost::RootPath("store/sync_status"), "1");
}

// The floor in `mode`, once it waits for its first event.
pid_t StartFloor(const std::string& root, const char* mode) {
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(ready[1], STDOUT_FILENO);
        execl(FLOOR_BIN, FLOOR_BIN, root.c_str(), mode, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    char word[16] = {};
    ssize_t n = read(ready[0], word, sizeof word - 1);
    close(ready[0]);
    return n > 0 && strncmp(word, "ready", 5) == 0 ? pid : -1;
}

// Waits for the launch journal to grow past `size`; false after two seconds.
bool LaunchJournaled(int journal, int watch, off_t size) {
    for (;;) {
        struct stat now;
        if (fstat(journal, &now) == 0 && now.st_size > size)
            return true;
        struct pollfd ready = {watch, POLLIN, 0};
        if (poll(&ready, 1, 2000) != 1)
            return false;
        char events[4096];
        if (read(watch, events, sizeof events) < 0)
            return false;
    }
}

void Send(Path path) {
    if (path == Path::STATUS) {
        vconf_set_str(STATUS_KEY, "priority0_installprogress");
        return;
    }
    Json::Value request(Json::objectValue);
    request["kind"] = "launch";
    request["caller"] = "bench";
    request["app_id"] = SERVICE_ID;
    request["operation"] = "talvoro.appcontrol.operation.DEFAULT";
    request["extra"] = tvhost::PairsToJson({{"LaunchReason", "CheckUpdateValidation"}});
    tvhost::SendToApp(SERVICE_ID, request);
}

struct Round {
    std::vector<long long> latencyNs;    // from the start of the write or request
    std::vector<long long> afterSendNs;  // from its return
    std::vector<long long> processorNs;  // of each event, with the work that follows its launch
    bool ok = true;
};

Round Run(const Target& target, Path path, int samples) {
    UseRoot(target);
    Round round;
    std::string journalPath = tvhost::RootPath("log/launch.jsonl");
    int journal = open(journalPath.c_str(), O_RDONLY | O_CLOEXEC);
    int watch = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(watch, journalPath.c_str(), IN_MODIFY);
    // Read before each event, once the previous one is done with (GAP_US after its launch).
    long long processorBefore = ProcessorNs(target.pid);
    for (int i = 0; i < samples && round.ok; ++i) {
        struct stat before;
        fstat(journal, &before);
        long long start = NowNs();
        Send(path);
        long long sent = NowNs();
        round.ok = LaunchJournaled(journal, watch, before.st_size);
        long long end = NowNs();
        round.latencyNs.push_back(end - start);
        round.afterSendNs.push_back(end - sent);
        usleep(GAP_US);
        long long processor = ProcessorNs(target.pid);
        round.processorNs.push_back(processor - processorBefore);
        processorBefore = processor;
    }
    close(watch);
    close(journal);
    if (!round.ok)
        printf("FAIL %s did not journal a launch within 2 s\n", target.name);
    return round;
}

struct Totals {
    std::vector<long long> latencyNs;
    std::vector<long long> afterSendNs;
    std::vector<long long> processorNs;

    void Add(const Round& round) {
        latencyNs.insert(latencyNs.end(), round.latencyNs.begin(), round.latencyNs.end());
        afterSendNs.insert(afterSendNs.end(), round.afterSendNs.begin(), round.afterSendNs.end());
        processorNs.insert(processorNs.end(), round.processorNs.begin(), round.processorNs.end());
    }
    double MeanProcessorUs() const {
        long long total = 0;
        for (long long ns : processorNs)
            total += ns;
        return processorNs.empty()
                   ? 0
                   : static_cast<double>(total) / 1000.0 / static_cast<double>(processorNs.size());
    }
};

void PrintFigures(const char* label, const Totals& totals) {
    printf(
        "  %-8s latency median %6.1f us, p99 %8.1f us (after the send: median %6.1f us); "
        "processor per event median %5.1f us, mean %5.1f us\n",
        label, PercentileUs(totals.latencyNs, 0.5), PercentileUs(totals.latencyNs, 0.99),
        PercentileUs(totals.afterSendNs, 0.5), PercentileUs(totals.processorNs, 0.5),
        totals.MeanProcessorUs());
}

// ---- system calls, from a separate pass under strace ---------------------------------------

struct Call {
    pid_t tid = 0;
    std::string name;
    std::string text;   // the line, arguments and result
    std::string error;  // "ENOENT" for a failed call, "" otherwise
};

// The calls of a `strace -f -o` file; a call split by another thread's counts once.
std::vector<Call> ParseTrace(const std::string& file) {
    std::vector<Call> calls;
    std::map<pid_t, size_t> unfinished;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        size_t space = line.find(' ');
        if (space == std::string::npos)
            continue;
        pid_t tid = static_cast<pid_t>(atol(line.c_str()));
        std::string rest = line.substr(line.find_first_not_of(' ', space));
        Call* call = nullptr;
        if (rest.compare(0, 5, "<... ") == 0) {
            auto open = unfinished.find(tid);
            if (open == unfinished.end())
                continue;
            call = &calls[open->second];
            call->text += rest;
            unfinished.erase(open);
        } else if (!rest.empty() && isalpha(static_cast<unsigned char>(rest[0]))) {
            calls.push_back(Call{tid, rest.substr(0, rest.find('(')), rest, ""});
            call = &calls.back();
            if (rest.find("<unfinished ...>") != std::string::npos) {
                unfinished[tid] = calls.size() - 1;
                continue;
            }
        } else {
            continue;  // signals, exits
        }
        size_t failed = call->text.rfind(" = -1 E");
        if (failed != std::string::npos)
            call->error =
                call->text.substr(failed + 6, call->text.find(' ', failed + 6) - failed - 6);
    }
    return calls;
}

bool IsLaunchWrite(const Call& call) {
    return call.name == "write" && call.text.find("{\\\"ts\\\":") != std::string::npos &&
           call.text.find("\\\"app_id\\\":") != std::string::npos;
}

bool IsWait(const Call& call) {
    return call.name == "poll" || call.name == "ppoll" || call.name == "epoll_wait";
}

// Where an event's path begins: the call that takes the event in, or the wait just before it.
bool BeginsPath(const Call& call, Path path) {
    if (path == Path::STATUS)
        return call.name == "read" && call.text.find("priority_biu_status") != std::string::npos;
    return call.name == "accept4" || call.name == "accept";
}

struct TraceFigures {
    double pathCalls = 0;  // per event, from the wait that ends with it to the launch written
    double allCalls = 0;   // per event, every thread, everything
    int events = 0;
    std::map<std::string, int> byName;
    std::map<std::string, int> failures;  // "openat ENOENT" -> count
    std::map<std::string, int> pathFailures;
};

TraceFigures CountCalls(const std::vector<Call>& calls, pid_t mainTid, Path path) {
    TraceFigures figures;
    std::vector<size_t> launches;
    for (size_t i = 0; i < calls.size(); ++i) {
        figures.byName[calls[i].name]++;
        if (!calls[i].error.empty())
            figures.failures[calls[i].name + " " + calls[i].error]++;
        if (calls[i].tid == mainTid && IsLaunchWrite(calls[i]))
            launches.push_back(i);
    }
    // The first launch's path began before strace was there; each later one is counted.
    long pathTotal = 0;
    for (size_t k = 1; k < launches.size(); ++k) {
        size_t begin = launches[k];
        for (size_t i = launches[k - 1] + 1; i < launches[k]; ++i) {
            if (calls[i].tid == mainTid && BeginsPath(calls[i], path)) {
                begin = i;
                break;
            }
        }
        for (size_t i = begin; i-- > launches[k - 1] + 1;) {
            if (calls[i].tid != mainTid)
                continue;
            if (IsWait(calls[i]))
                begin = i;
            break;
        }
        for (size_t i = begin; i <= launches[k]; ++i) {
            if (calls[i].tid != mainTid)
                continue;
            ++pathTotal;
            if (!calls[i].error.empty())
                figures.pathFailures[calls[i].name + " " + calls[i].error]++;
        }
    }
    figures.events = static_cast<int>(launches.size());
    if (launches.size() > 1)
        figures.pathCalls =
            static_cast<double>(pathTotal) / static_cast<double>(launches.size() - 1);
    if (!launches.empty())
        figures.allCalls = static_cast<double>(calls.size()) / static_cast<double>(launches.size());
    return figures;
}

bool TraceAvailable() {
    return system("strace -V >/dev/null 2>&1") == 0;
}

TraceFigures Trace(const Target& target, Path path, const std::string& file) {
    pid_t tracer = fork();
    if (tracer == 0) {
        std::string pid = std::to_string(target.pid);
        execlp("strace", "strace", "-f", "-qq", "-s", "256", "-o", file.c_str(), "-p", pid.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    usleep(500000);  // attached
    Round round = Run(target, path, TRACED);
    usleep(100000);
    kill(tracer, SIGINT);
    waitpid(tracer, nullptr, 0);
    TraceFigures figures = CountCalls(ParseTrace(file), target.pid, path);
    if (!round.ok)
        figures.events = 0;
    return figures;
}

std::string Listed(const std::map<std::string, int>& counts, int events) {
    std::string text;
    for (const auto& entry : counts) {
        char item[96];
        snprintf(item, sizeof item, "%s%s %.2f", text.empty() ? "" : ", ", entry.first.c_str(),
                 events ? static_cast<double>(entry.second) / events : 0.0);
        text += item;
    }
    return text.empty() ? "none" : text;
}

void CompareCalls(Path path, const Target& service, const Target& floor, const std::string& dir,
                  Outcome* outcome) {
    if (!TraceAvailable()) {
        printf("FAIL system calls: strace is not installed, not counted\n");
        outcome->pass = false;
        return;
    }
    const char* kind = path == Path::STATUS ? "status" : "request";
    TraceFigures ours = Trace(service, path, dir + "/service-" + kind + ".strace");
    TraceFigures least = Trace(floor, path, dir + "/floor-" + kind + ".strace");
    if (ours.events < 2 || least.events < 2) {
        printf("FAIL system calls: the traced pass did not go through; see %s/*.strace\n",
               dir.c_str());
        *outcome = Outcome{false, false};
        return;
    }
    printf("system calls, %d events traced (strace -f, a separate pass):\n", TRACED);
    for (const auto* side : {&ours, &least}) {
        const char* name = side == &ours ? "service" : "floor";
        printf("  %-8s %5.1f on the path, %5.1f per event in all; failed on the path: %s\n", name,
               side->pathCalls, side->allCalls, Listed(side->pathFailures, side->events).c_str());
        printf("           per event: %s\n", Listed(side->byName, side->events).c_str());
        printf("           failed, per event: %s\n", Listed(side->failures, side->events).c_str());
    }
    double ratio = ours.pathCalls / least.pathCalls;
    printf("  ratio on the path %.2f, in all %.2f\n", ratio, ours.allCalls / least.allCalls);
    outcome->pass = Check("system calls on the path <= 2 x floor", ratio <= 2.0) && outcome->pass;
    outcome->pass =
        Check("no failing system call in the service", ours.failures.empty()) && outcome->pass;
}

Outcome Compare(Path path, const Target& service, const Target& floor, int rounds, int samples,
                const std::string& dir) {
    const char* what =
        path == Path::STATUS
            ? "status \"priority0_installprogress\" written -> loading screen's "
              "launch journaled"
            : "\"CheckUpdateValidation\" request sent -> the toast's launch journaled";
    printf("\n== %s\n", what);
    printf("%d alternating rounds of %d events each; load average before: %s\n", rounds, samples,
           LoadAverage().c_str());
    // What the file system still has to write back from the previous path (or from making the
    // roots) would weigh on whichever side runs first.
    sync();
    Totals ours, least;
    bool ok = true;
    for (int r = 1; r <= rounds && ok; ++r) {
        // In turns which side goes first, so that a drift in the machine's load over a round
        // weighs on both alike.
        Round mine, floorRound;
        if (r % 2 == 1) {
            mine = Run(service, path, samples);
            floorRound = Run(floor, path, samples);
        } else {
            floorRound = Run(floor, path, samples);
            mine = Run(service, path, samples);
        }
        ok = mine.ok && floorRound.ok;
        ours.Add(mine);
        least.Add(floorRound);
        Totals one, two;
        one.Add(mine);
        two.Add(floorRound);
        printf("round %d\n", r);
        PrintFigures("service", one);
        PrintFigures("floor", two);
    }
    if (!ok)
        return Outcome{false, false};
    printf("all rounds (load average after: %s)\n", LoadAverage().c_str());
    PrintFigures("service", ours);
    PrintFigures("floor", least);
    double median = PercentileUs(ours.latencyNs, 0.5) / PercentileUs(least.latencyNs, 0.5);
    double p99 = PercentileUs(ours.latencyNs, 0.99) / PercentileUs(least.latencyNs, 0.99);
    // The median of each event's processor time: a round's mean also carries what the load on
    // the machine did to a few events (both are printed).
    double processor = PercentileUs(ours.processorNs, 0.5) / PercentileUs(least.processorNs, 0.5);
    printf("  ratios service/floor: median %.2f, p99 %.2f, processor time %.2f\n", median, p99,
           processor);
    Outcome outcome;
    outcome.pass = Check("processor time per event <= 1.5 x floor", processor <= 1.5);
    outcome.pass = Check("median latency <= 1.2 x floor", median <= 1.2) && outcome.pass;
    outcome.pass = Check("p99 latency <= 2 x floor", p99 <= 2.0) && outcome.pass;
    CompareCalls(path, service, floor, dir, &outcome);
    return outcome;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 3;
    int samples = argc > 2 ? atoi(argv[2]) : 300;
    std::string pattern = std::string(argc > 3 ? argv[3] : "/tmp") + "/hopbench-XXXXXX";
    char* dir = &pattern[0];
    if (rounds < 1 || samples < 2 || !mkdtemp(dir)) {
        fprintf(stderr, "usage: HopBench [ROUNDS] [SAMPLES] [DIR]\n");
        return 2;
    }
    printf("device roots in %s\n", dir);
    tvhost::SetSelfAppId("bench");
    Target service{"service", std::string(dir) + "/service"};
    Target floor{"floor", std::string(dir) + "/floor"};
    if (!Provisioned(service.root) || !Provisioned(floor.root))
        return 1;

    UseRoot(service);
    long offset = FileSize(tvhost::RootPath("log/dlog.log"));
    service.pid = StartService(BRENWICK_BIN);
    if (!WaitFor([] { return tvhost::AppRunning(SERVICE_ID); }, 5000) ||
        !StartedUp(service.pid, offset)) {
        printf("FAIL the service did not start\n");
        return 1;
    }
    Outcome all;
    for (Path path : {Path::STATUS, Path::REQUEST}) {
        floor.pid = StartFloor(floor.root, path == Path::STATUS ? "status" : "request");
        if (floor.pid < 0) {
            printf("FAIL the floor did not start\n");
            all = Outcome{false, false};
            break;
        }
        Outcome one = Compare(path, service, floor, rounds, samples, dir);
        all = Outcome{all.ran && one.ran, all.pass && one.pass};
        StopService(floor.pid);
    }
    StopService(service.pid);
    if (!all.ran)
        return 1;  // the roots and traces stay for a look
    std::string cleanup = "rm -rf '" + std::string(dir) + "'";
    return system(cleanup.c_str()) == 0 && all.pass ? 0 : 1;
}
