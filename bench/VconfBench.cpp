// How long a settings change takes to reach a watcher in another process, against the floor of
// a bare inotify reader with its own plain read of the key's file, fed by the same writer.
//
// A writer process writes one key WRITES times, SPACING_US apart, stamping CLOCK_MONOTONIC just
// before each write into shared memory; a watcher process stamps when it has the value in hand.
// Writes that reach the watcher as one change (latest value) count once, for the value it saw.
// The two watchers take turns, ROUNDS rounds each (ours, floor, ours, floor...), so that load on
// the machine weighs on both alike. Each must see at least SEEN_PERCENT of the writes, never an
// older value after a newer one, and the last one.
#include <fcntl.h>
#include <glib.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "HostCore.h"
#include "vconf.h"

namespace {

constexpr int ROUNDS = 4;
constexpr int WRITES = 500;  // a round's
constexpr long SPACING_US = 1500;
constexpr int SEEN_PERCENT = 95;
constexpr int END_WAIT_MS = 2000;
constexpr const char* KEY_DIR = "memory/bench";
constexpr const char* KEY = "memory/bench/priority_biu_status";
constexpr const char* END_VALUE = "end";

struct Shared {
    long long sentNs[WRITES];
    long long receivedNs[WRITES];
    long long writeCostNs[WRITES];
    int lastSeen;    // the index of the newest value the watcher had in hand
    int outOfOrder;  // values older than one seen before
};

// "priority0_installprogress#17" -> 17, or -1 for anything else.
int IndexOf(const char* value) {
    const char* hash = value ? strchr(value, '#') : nullptr;
    return hash ? atoi(hash + 1) : -1;
}

void Record(Shared* shared, const char* value) {
    long long now = NowNs();
    int index = IndexOf(value);
    if (index < 0 || index >= WRITES)
        return;
    if (index == shared->lastSeen)
        return;  // a second change that found the same latest value
    if (index < shared->lastSeen)
        ++shared->outOfOrder;
    shared->lastSeen = index;
    shared->receivedNs[index] = now;
}

// ---- the watcher through the settings store's own notification ---------------------------

struct OursContext {
    Shared* shared;
    GMainLoop* loop;
};

void OnChanged(keynode_t* node, void* data) {
    auto* context = static_cast<OursContext*>(data);
    const char* value = vconf_keynode_get_str(node);
    Record(context->shared, value);
    if (value && strcmp(value, END_VALUE) == 0)
        g_main_loop_quit(context->loop);
}

void RunOursWatcher(Shared* shared, int readyFd) {
    OursContext context{shared, g_main_loop_new(nullptr, FALSE)};
    if (vconf_notify_key_changed(KEY, OnChanged, &context) != VCONF_OK)
        _exit(2);
    if (write(readyFd, "r", 1) != 1)
        _exit(2);
    g_main_loop_run(context.loop);
    _exit(0);
}

// ---- the floor: a bare inotify reader --------------------------------------------------

// The key's file read with one open and read: "s:VALUE" gives VALUE, anything else "".
std::string PlainRead(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    char text[256];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n < 2 || text[0] != 's' || text[1] != ':')
        return "";
    return std::string(text + 2, static_cast<size_t>(n) - 2);
}

void RunFloorWatcher(Shared* shared, int readyFd) {
    int fd = inotify_init1(IN_CLOEXEC);
    std::string dir = tvhost::RootPath(std::string("kdb/") + KEY_DIR);
    if (fd < 0 || inotify_add_watch(fd, dir.c_str(), IN_MOVED_TO) < 0)
        _exit(2);
    if (write(readyFd, "r", 1) != 1)
        _exit(2);
    std::string path = tvhost::RootPath(std::string("kdb/") + KEY);
    const char* name = strrchr(KEY, '/') + 1;
    alignas(struct inotify_event) char buffer[65536];
    for (;;) {
        ssize_t length = read(fd, buffer, sizeof buffer);
        if (length <= 0)
            _exit(2);
        for (ssize_t offset = 0; offset < length;) {
            auto* event = reinterpret_cast<struct inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof *event + event->len);
            if (event->len == 0 || strcmp(event->name, name) != 0)
                continue;
            std::string value = PlainRead(path);
            Record(shared, value.c_str());
            if (value == END_VALUE)
                _exit(0);
        }
    }
}

// ---- the writer ------------------------------------------------------------------------

void RunWriter(Shared* shared, int readyFd) {
    char ready;
    if (read(readyFd, &ready, 1) != 1)
        _exit(2);
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (int i = 0; i < WRITES; ++i) {
        SleepUntilNextSlot(&next, SPACING_US);
        std::string value = "priority0_installprogress#" + std::to_string(i);
        shared->sentNs[i] = NowNs();
        vconf_set_str(KEY, value.c_str());
        shared->writeCostNs[i] = NowNs() - shared->sentNs[i];
    }
    usleep(20000);
    vconf_set_str(KEY, END_VALUE);
    _exit(0);
}

// A side's figures over all its rounds.
struct Figures {
    std::vector<long long> latencies, costs;
    int delivered = 0;
    int outOfOrder = 0;
    int endsMissed = 0;

    double MedianUs() const { return PercentileUs(latencies, 0.5); }
    double P99Us() const { return PercentileUs(latencies, 0.99); }
};

// Waits for the watcher to see the last value; kills it when it does not within END_WAIT_MS.
bool EndSeen(pid_t watcherPid) {
    int status = 0;
    for (int waited = 0; waited < END_WAIT_MS; waited += 10) {
        if (waitpid(watcherPid, &status, WNOHANG) == watcherPid)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        usleep(10000);
    }
    kill(watcherPid, SIGKILL);
    waitpid(watcherPid, nullptr, 0);
    return false;
}

// One round of one side; false when a process could not do its part.
bool RunPhase(Shared* shared, void (*watcher)(Shared*, int), Figures* figures) {
    memset(shared, 0, sizeof *shared);
    shared->lastSeen = -1;
    int ready[2];
    if (pipe(ready) != 0)
        return false;
    pid_t watcherPid = fork();
    if (watcherPid == 0)
        watcher(shared, ready[1]);
    pid_t writerPid = fork();
    if (writerPid == 0)
        RunWriter(shared, ready[0]);
    close(ready[0]);
    close(ready[1]);
    int writerStatus = 0;
    waitpid(writerPid, &writerStatus, 0);
    figures->endsMissed += !EndSeen(watcherPid);
    if (!WIFEXITED(writerStatus) || WEXITSTATUS(writerStatus) != 0)
        return false;
    for (int i = 0; i < WRITES; ++i) {
        figures->costs.push_back(shared->writeCostNs[i]);
        if (shared->receivedNs[i] > 0)
            figures->latencies.push_back(shared->receivedNs[i] - shared->sentNs[i]);
    }
    figures->delivered = static_cast<int>(figures->latencies.size());
    figures->outOfOrder += shared->outOfOrder;
    return true;
}

void PrintSide(const char* label, const Figures& side) {
    printf(
        "%s: median %7.1f us  p99 %7.1f us  (%d of %d writes seen, %d older after newer, "
        "last value missed in %d of %d rounds)\n",
        label, side.MedianUs(), side.P99Us(), side.delivered, ROUNDS * WRITES, side.outOfOrder,
        side.endsMissed, ROUNDS);
}

bool SawWrites(const char* label, const Figures& side) {
    std::string what = std::string(label) + " saw >= " + std::to_string(SEEN_PERCENT) +
                       " % of the writes, in order, and the last";
    return Check(what.c_str(), side.delivered * 100 >= SEEN_PERCENT * ROUNDS * WRITES &&
                                   side.outOfOrder == 0 && side.endsMissed == 0);
}

}  // namespace

int main() {
    // The device root's file system sets most of the cost of a write: TMPDIR picks it.
    const char* tmpdir = getenv("TMPDIR");
    std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/vconfbench-XXXXXX";
    if (!mkdtemp(&pattern[0]))
        return 2;
    if (!ProvisionScratchRoot("VconfBench", pattern))
        return 2;
    auto* shared = MapShared<Shared>();
    if (!shared)
        return 2;

    Figures ours, floor;
    bool ran = true;
    for (int round = 0; round < ROUNDS && ran; ++round)
        ran = RunPhase(shared, RunOursWatcher, &ours) && RunPhase(shared, RunFloorWatcher, &floor);
    std::filesystem::remove_all(pattern);
    if (!ran) {
        printf("FAIL a writer process failed\n");
        return 2;
    }

    printf(
        "%d alternating rounds of %d writes of %s each, %ld us apart, writer and watcher in "
        "separate processes, root %s\n",
        ROUNDS, WRITES, KEY, SPACING_US, tvhost::DeviceRoot().c_str());
    PrintSide("vconf watcher ", ours);
    PrintSide("inotify floor ", floor);
    printf("vconf_set_str : median %7.1f us per write\n", PercentileUs(ours.costs, 0.5));
    double ratio = floor.MedianUs() > 0 ? ours.MedianUs() / floor.MedianUs() : 0;
    printf("median ratio vconf/floor: %.2f\n", ratio);
    bool pass = SawWrites("vconf watcher", ours);
    pass = SawWrites("inotify floor", floor) && pass;
    pass = Check("median <= 250 us", ours.MedianUs() <= 250) && pass;
    pass = Check("p99 <= 1500 us", ours.P99Us() <= 1500) && pass;
    pass = Check("median <= 1.5 x floor", ratio <= 1.5) && pass;
    return pass ? 0 : 1;
}
