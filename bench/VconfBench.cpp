// How long a settings change takes to reach a watcher in another process, against the floor of
// a bare inotify reader fed by the same writer.
//
// A writer process writes one key WRITES times, SPACING_US apart, stamping CLOCK_MONOTONIC just
// before each write into shared memory; a watcher process stamps when it has the value in hand.
// Writes that reach the watcher as one change (latest value) count once, for the value it saw.
#include <glib.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "HostCore.h"
#include "Provision.h"
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

long long NowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

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
        next.tv_nsec += SPACING_US * 1000;
        while (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            next.tv_sec += 1;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
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

double Percentile(std::vector<long long> values, double fraction) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1));
    return static_cast<double>(values[index]) / 1000.0;
}

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
    figures->medianUs = Percentile(latencies, 0.5);
    figures->p99Us = Percentile(latencies, 0.99);
    figures->writeUs = Percentile(costs, 0.5);
    return figures->delivered > 0;
}

bool Check(const char* what, bool pass) {
    printf("%s %s\n", pass ? "PASS" : "FAIL", what);
    return pass;
}

}  // namespace

int main() {
    // The device root's file system sets most of the cost of a write: TMPDIR picks it.
    const char* tmpdir = getenv("TMPDIR");
    std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/vconfbench-XXXXXX";
    if (!mkdtemp(&pattern[0]))
        return 2;
    std::string root = pattern + "/root";
    setenv("TV_DEVICE_ROOT", root.c_str(), 1);
    std::string error;
    if (!tvhost::Provision(false, &error) ||
        !tvhost::MakeDirs(tvhost::RootPath("kdb/memory/bench"))) {
        fprintf(stderr, "VconfBench: cannot provision %s: %s\n", root.c_str(), error.c_str());
        return 2;
    }
    void* memory =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return 2;
    auto* shared = static_cast<Shared*>(memory);

    Figures ours, floor;
    bool ran = RunPhase(shared, RunOursWatcher, &ours) && RunPhase(shared, RunFloorWatcher, &floor);
    std::filesystem::remove_all(pattern);
    if (!ran) {
        fprintf(stderr, "VconfBench: a writer or watcher process failed\n");
        return 2;
    }

    printf("%d writes of %s, %ld us apart, writer and watcher in separate processes, root %s\n",
           WRITES, KEY, SPACING_US, root.c_str());
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
