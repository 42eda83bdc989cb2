// How long a settings change takes to reach a watcher in another process, against the floor of
// a bare inotify reader fed by the same writer.
//
// A writer process writes one key WRITES times, SPACING_US apart, stamping CLOCK_MONOTONIC just
// before each write into shared memory; a watcher process stamps when it has the value in hand.
// Writes that reach the watcher as one change (latest value) count once, for the value it saw.
#include <glib.h>
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

constexpr int WRITES = 2000;
constexpr long SPACING_US = 1500;
constexpr const char* KEY_DIR = "memory/bench";
constexpr const char* KEY = "memory/bench/priority_biu_status";
constexpr const char* END_VALUE = "end";

struct Shared {
    long long sentNs[WRITES];
    long long receivedNs[WRITES];
    long long writeCostNs[WRITES];
};

// "priority0_installprogress#17" -> 17, or -1 for anything else.
int IndexOf(const char* value) {
    const char* hash = value ? strchr(value, '#') : nullptr;
    return hash ? atoi(hash + 1) : -1;
}

void Record(Shared* shared, const char* value) {
    long long now = NowNs();
    int index = IndexOf(value);
    if (index >= 0 && index < WRITES)
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
            std::string content;
            if (!tvhost::ReadWholeFile(path, &content) || content.size() < 2)
                continue;
            const char* value = content.c_str() + 2;
            Record(shared, value);
            if (strcmp(value, END_VALUE) == 0)
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

struct Figures {
    double medianUs = 0;
    double p99Us = 0;
    double writeUs = 0;
    int delivered = 0;
};

bool RunPhase(Shared* shared, void (*watcher)(Shared*, int), Figures* figures) {
    memset(shared, 0, sizeof *shared);
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
    int writerStatus = 0, watcherStatus = 0;
    waitpid(writerPid, &writerStatus, 0);
    waitpid(watcherPid, &watcherStatus, 0);
    if (!WIFEXITED(writerStatus) || WEXITSTATUS(writerStatus) != 0 || !WIFEXITED(watcherStatus) ||
        WEXITSTATUS(watcherStatus) != 0) {
        return false;
    }
    std::vector<long long> latencies, costs;
    for (int i = 0; i < WRITES; ++i) {
        costs.push_back(shared->writeCostNs[i]);
        if (shared->receivedNs[i] > 0)
            latencies.push_back(shared->receivedNs[i] - shared->sentNs[i]);
    }
    figures->delivered = static_cast<int>(latencies.size());
    figures->medianUs = PercentileUs(latencies, 0.5);
    figures->p99Us = PercentileUs(latencies, 0.99);
    figures->writeUs = PercentileUs(costs, 0.5);
    return figures->delivered > 0;
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
    bool ran = RunPhase(shared, RunOursWatcher, &ours) && RunPhase(shared, RunFloorWatcher, &floor);
    std::filesystem::remove_all(pattern);
    if (!ran) {
        fprintf(stderr, "VconfBench: a writer or watcher process failed\n");
        return 2;
    }

    printf("%d writes of %s, %ld us apart, writer and watcher in separate processes, root %s\n",
           WRITES, KEY, SPACING_US, tvhost::DeviceRoot().c_str());
    printf("vconf watcher : median %7.1f us  p99 %7.1f us  (%d of %d writes seen)\n", ours.medianUs,
           ours.p99Us, ours.delivered, WRITES);
    printf("inotify floor : median %7.1f us  p99 %7.1f us  (%d of %d writes seen)\n",
           floor.medianUs, floor.p99Us, floor.delivered, WRITES);
    printf("vconf_set_str : median %7.1f us per write\n", ours.writeUs);
    double ratio = floor.medianUs > 0 ? ours.medianUs / floor.medianUs : 0;
    printf("median ratio vconf/floor: %.2f\n", ratio);
    bool pass = Check("median <= 250 us", ours.medianUs <= 250);
    pass = Check("p99 <= 1500 us", ours.p99Us <= 1500) && pass;
    pass = Check("median <= 1.5 x floor", ratio <= 1.5) && pass;
    return pass ? 0 : 1;
}
