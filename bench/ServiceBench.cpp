// Figures of the whole service on a scratch television: start-up time; its memory after start-up,
// after UPDATES and after ten times as many whole updates (the notification posted, the user
// pressing "Update now" and the notification closing, the install, the end): resident, private
// and dirty (what a set's memory report charges to it, broken down after start-up), and what the
// allocator has handed out; open descriptors; the time from a store status write to the
// service's launch request; wake-ups while idle; and the service's memory while the
// release-notes server answers with a huge or an endless body.
//
//   build/bench/ServiceBench [UPDATES]      (default 1000)
//   build/bench/ServiceBench --start-up-against OTHER_BRENWICK [RUNS]   (default 150 each)
//
// The second compares this build's start-up with another build's of the service, in turns.
//
// Each figure ends with its target and PASS or FAIL; a step that does not go through is a FAIL
// with its reason. The exit status is 1 after any FAIL.
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vconf.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchUtil.h"
#include "HostCore.h"
#include "VconfInternal.h"

namespace {

using Clock = std::chrono::steady_clock;

bool g_failed = false;

const char* Verdict(bool pass) {
    g_failed = g_failed || !pass;
    return pass ? "PASS" : "FAIL";
}

void Fail(const std::string& what) {
    g_failed = true;
    printf("FAIL %s\n", what.c_str());
}

double Micros(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

// Milliseconds from the exec of `binary` until it handled its first request, or -1.
double TimeOneStart(const char* binary) {
    long offset = FileSize(tvhost::RootPath("log/dlog.log"));
    auto start = Clock::now();
    pid_t pid = StartService(binary);
    bool up = WaitFor([&] { return tvhost::AppRunning("com.talvoro.tv.brenwick"); }, 5000) &&
              StartedUp(pid, offset);
    auto end = Clock::now();
    StopService(pid);
    return up ? Micros(start, end) / 1000.0 : -1;
}

void MeasureStartUp() {
    std::vector<double> times;
    for (int run = 0; run < 20; ++run) {
        times.push_back(TimeOneStart(BRENWICK_BIN));
        if (times.back() < 0) {
            Fail("start-up: the service did not come up on run " + std::to_string(run + 1));
            return;
        }
    }
    double median = Percentile(times, 0.5);
    printf(
        "start-up (exec to first request handled), 20 runs: median %.2f ms, max %.2f ms  [%s: <= "
        "15 ms]\n",
        median, Percentile(times, 1.0), Verdict(median <= 15));
}

// This build's start-up against another build's, started in turns (this, other, other, this...)
// so that the machine's load weighs on both alike.
void CompareStartUp(const char* other, int runs) {
    const char* binaries[2] = {BRENWICK_BIN, other};
    std::vector<double> times[2];
    for (int run = 0; run < runs; ++run) {
        for (int turn = 0; turn < 2; ++turn) {
            int side = run % 2 == 0 ? turn : 1 - turn;
            double ms = TimeOneStart(binaries[side]);
            if (ms < 0) {
                Fail(std::string("start-up: ") + binaries[side] + " did not come up");
                return;
            }
            times[side].push_back(ms);
        }
    }
    for (int side = 0; side < 2; ++side)
        printf("start-up of %s, %d runs: median %.2f ms (quartiles %.2f, %.2f)\n", binaries[side],
               runs, Percentile(times[side], 0.5), Percentile(times[side], 0.25),
               Percentile(times[side], 0.75));
    double ratio = Percentile(times[0], 0.5) / Percentile(times[1], 0.5);
    printf("  this build's median against the other's: %.3f  [%s: <= 1.03]\n", ratio,
           Verdict(ratio <= 1.03));
}

constexpr const char* STATUS_KEY = "memory/pax/priority_biu_status";

int OpenDescriptors(pid_t pid) {
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!dir)
        return -1;
    int count = 0;
    while (struct dirent* entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

// Writes a store status and waits until the service has logged taking it in.
bool SetStatus(const std::string& status) {
    long before = FileSize(tvhost::RootPath("log/dlog.log"));
    vconf_set_str(STATUS_KEY, status.c_str());
    return LogShows(before, "> " + status + "\n");
}

bool SendEvent(int id, int event) {
    Json::Value message(Json::objectValue);
    message["kind"] = "notification_event";
    message["id"] = id;
    message["event"] = event;
    return tvhost::SendToApp("com.talvoro.tv.brenwick", message) == 0;
}

// One whole update as the store service and the user play it: the notification is posted, the
// user presses "Update now" (event 1) and it closes (event 100), the store installs and ends.
// The step that did not go through, or null.
const char* PlayWholeUpdate() {
    std::string notifications = tvhost::RootPath("log/notification.jsonl");
    if (!SetStatus("priority0_start"))
        return "priority0_start";
    long posted = FileSize(notifications);
    vconf_set_str(STATUS_KEY, "priority0_downloaded");
    std::string post;
    if (!WaitFor(
            [&] {
                post = ReadFrom(notifications, posted);
                return !post.empty() && post.back() == '\n' &&
                       post.find("\"op\":\"post\"") != std::string::npos;
            },
            2000))
        return "the notification";
    // As on a set, the notification closes after the press: the hidden event follows it.
    int id = atoi(post.c_str() + post.find("\"id\":") + 5);
    long events = FileSize(notifications);
    std::string hidden = "\"id\":" + std::to_string(id) + ",\"event\":100}";
    if (!SendEvent(id, 1) || !SendEvent(id, 100) ||
        !WaitFor([] { return tvhost::ReadKey(STATUS_KEY).str == "allow_install"; }, 2000) ||
        !WaitFor([&] { return ReadFrom(notifications, events).find(hidden) != std::string::npos; },
                 2000))
        return "the answer";
    std::string launches = tvhost::RootPath("log/launch.jsonl");
    long before = FileSize(launches);
    vconf_set_str(STATUS_KEY, "priority0_installprogress");
    if (!WaitFor([&] { return FileSize(launches) > before; }, 2000))
        return "the loading screen";
    if (!SetStatus("priority0_installed"))
        return "priority0_installed";
    return SetStatus("priority0_end") ? nullptr : "priority0_end";
}

bool PlayUpdates(int count) {
    for (int i = 0; i < count; ++i) {
        if (const char* step = PlayWholeUpdate()) {
            Fail("resident memory and descriptors: update " + std::to_string(i + 1) +
                 " did not go through: " + step);
            return false;
        }
    }
    return true;
}

void WriteMajorFileInfo() {
    tvhost::WriteFileAtomic(tvhost::RootPath("store/major_file_info.json"),
                            "{\"id\":\"com.talvoro.tv.zefo.homeversion\",\"version\":\"2.0.0\","
                            "\"targetGroupType\":\"normal\",\"maxRetryCount\":3}\n");
}

// The service's memory as a set's memory report sees it, and as its allocator counts it.
struct Memory {
    long residentKiB = -1;
    long privateDirtyKiB = -1;
    long long inUseBytes = -1;  // handed out by the allocator and not given back
    int arenas = -1;
    long long inUseAtCreate = -1;  // by the libraries and the platform, before the service's code
    long long inUseByHttp = -1;    // by the HTTP library's set-up, which runs after start-up
    std::map<std::string, long> residentByMapping;  // KiB by file name, "[heap]", "anonymous"...
};

// The allocator's figures, which the host's framework logs when asked.
bool AskAllocator(pid_t pid, Memory* memory) {
    std::string log = tvhost::RootPath("log/dlog.log");
    long before = FileSize(log);
    Json::Value ask(Json::objectValue);
    ask["kind"] = "memory";
    if (tvhost::SendToApp("com.talvoro.tv.brenwick", ask) != 0)
        return false;
    std::string mark = "TVHOST(" + std::to_string(pid) + "): memory: ";
    std::string line;
    bool logged = WaitFor(
        [&] {
            std::string text = ReadFrom(log, before);
            size_t at = text.find(mark);
            if (at == std::string::npos || text.find('\n', at) == std::string::npos)
                return false;
            line = text.substr(at + mark.size());
            return true;
        },
        2000);
    return logged &&
           sscanf(line.c_str(),
                  "%lld bytes in use by the allocator, %*d held, in %d arenas; %lld in use as the "
                  "create callback began; %lld",
                  &memory->inUseBytes, &memory->arenas, &memory->inUseAtCreate,
                  &memory->inUseByHttp) == 4;
}

struct Mapping {
    unsigned long start = 0;
    unsigned long end = 0;
    std::string perms;
    std::string path;
};

Mapping ParseMapping(const std::string& line) {
    Mapping mapping;
    char perms[8] = {};
    int pathAt = 0;
    sscanf(line.c_str(), "%lx-%lx %7s %*s %*s %*s %n", &mapping.start, &mapping.end, perms,
           &pathAt);
    mapping.perms = perms;
    if (pathAt > 0 && static_cast<size_t>(pathAt) < line.size())
        mapping.path = line.substr(static_cast<size_t>(pathAt));
    return mapping;
}

bool IsMappingLine(const std::string& line) {
    return !line.empty() && isxdigit(static_cast<unsigned char>(line[0])) &&
           line.find('-') < line.find(' ');
}

std::map<std::string, long> ResidentByMapping(pid_t pid) {
    std::map<std::string, long> resident;
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
    std::string line;
    std::string name;
    while (std::getline(in, line)) {
        if (IsMappingLine(line)) {
            std::string path = ParseMapping(line).path;
            name = path.empty() ? "anonymous" : path.substr(path.rfind('/') + 1);
        } else if (line.compare(0, 4, "Rss:") == 0) {
            resident[name] += atol(line.c_str() + 4);
        }
    }
    return resident;
}

// The mappings whose resident size grew the most since `before`.
std::string MostGrown(const Memory& before, const Memory& after) {
    std::vector<std::pair<long, std::string>> grown;
    for (const auto& [name, kib] : after.residentByMapping) {
        auto was = before.residentByMapping.find(name);
        long growth = kib - (was == before.residentByMapping.end() ? 0 : was->second);
        if (growth != 0)
            grown.emplace_back(growth, name);
    }
    std::sort(grown.rbegin(), grown.rend());
    std::string text;
    for (size_t i = 0; i < grown.size() && i < 6; ++i)
        text += (i ? ", " : "") + grown[i].second + " " + std::to_string(grown[i].first);
    return text.empty() ? "none" : text;
}

Memory MemoryOf(pid_t pid) {
    Memory memory;
    memory.residentByMapping = ResidentByMapping(pid);
    memory.residentKiB = StatusField(pid, "VmRSS");
    memory.privateDirtyKiB = ProcField(pid, "smaps_rollup", "Private_Dirty");
    if (!AskAllocator(pid, &memory))
        Fail("memory: the allocator's figures did not come");
    return memory;
}

void PrintMemory(const std::string& when, const Memory& memory, const Memory& start) {
    printf(
        "memory %s: resident %ld KiB (%+ld), private dirty %ld KiB (%+ld), the allocator's bytes "
        "in use %.1f KiB (%+.1f) in %d arenas\n",
        when.c_str(), memory.residentKiB, memory.residentKiB - start.residentKiB,
        memory.privateDirtyKiB, memory.privateDirtyKiB - start.privateDirtyKiB,
        static_cast<double>(memory.inUseBytes) / 1024.0,
        static_cast<double>(memory.inUseBytes - start.inUseBytes) / 1024.0, memory.arenas);
}

// Private dirty memory by owner, in KiB: the program's own data, the heap with the rest of the
// anonymous memory, the stacks, and the data of each library (a library's zeroed data is the
// anonymous mapping right after its file).
struct Breakdown {
    long program = 0;
    long heap = 0;
    long mainStack = 0;
    long threadStacks = 0;  // GLib's and the libraries' threads, and the app-detail worker's
    long runtime = 0;       // the C and C++ runtime, which every program has
    long jsoncpp = 0;       // the service's own dependency
    std::map<std::string, long> host;  // the host device's libraries (GLib, HTTP, TLS, ...)

    long Host() const {
        long total = 0;
        for (const auto& library : host)
            total += library.second;
        return total;
    }
};

void Charge(Breakdown* breakdown, const std::string& path, long kib) {
    std::string name = path.substr(path.rfind('/') + 1);
    auto is = [&](const char* prefix) { return name.compare(0, strlen(prefix), prefix) == 0; };
    if (name == "brenwick")
        breakdown->program += kib;
    else if (is("libc.so") || is("libstdc++") || is("libm.so") || is("libgcc_s") || is("ld-linux"))
        breakdown->runtime += kib;
    else if (is("libjsoncpp"))
        breakdown->jsoncpp += kib;
    else
        breakdown->host[name.substr(0, name.find(".so"))] += kib;
}

Breakdown BreakDown(pid_t pid) {
    constexpr unsigned long ARENA_ALIGNMENT = 64UL << 20;  // a thread arena's heap
    Breakdown breakdown;
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
    std::string line;
    Mapping previous;
    Mapping current;
    while (std::getline(in, line)) {
        if (IsMappingLine(line)) {
            previous = current;
            current = ParseMapping(line);
            continue;
        }
        if (line.compare(0, 14, "Private_Dirty:") != 0)
            continue;
        long kib = atol(line.c_str() + 14);
        bool adjacent = previous.end == current.start;
        if (current.path == "[stack]")
            breakdown.mainStack += kib;
        else if (current.path == "[heap]" || current.path.empty()) {
            // A thread's stack lies above its guard page; a library's zeroed data after its file.
            if (current.start % ARENA_ALIGNMENT != 0 && adjacent && previous.path.empty() &&
                previous.perms == "---p")
                breakdown.threadStacks += kib;
            else if (current.path.empty() && adjacent && !previous.path.empty() &&
                     previous.path[0] == '/')
                Charge(&breakdown, previous.path, kib);
            else
                breakdown.heap += kib;
        } else if (current.path[0] == '/')
            Charge(&breakdown, current.path, kib);
        else
            breakdown.heap += kib;  // [vvar] and the like hold nothing private
    }
    return breakdown;
}

std::string Largest(const std::map<std::string, long>& libraries, size_t count) {
    std::vector<std::pair<long, std::string>> sorted;
    for (const auto& library : libraries)
        sorted.emplace_back(library.second, library.first);
    std::sort(sorted.rbegin(), sorted.rend());
    std::string text;
    for (size_t i = 0; i < sorted.size() && i < count; ++i)
        text += (i ? ", " : "") + sorted[i].second + " " + std::to_string(sorted[i].first);
    return text;
}

// The private dirty memory after start-up, by owner: at most 1 MiB in all; or, when the host's
// libraries alone hold more than that (their data, their threads' stacks and what they had
// allocated before the service's code began), the service's share at most 256 KiB: its program's
// data, the main thread's stack and what the allocator handed out since the create callback
// began (the host's allocations made on the service's behalf, its key watches and sources, among
// them).
void CheckPrivateAfterStart(pid_t pid, const Memory& start) {
    Breakdown parts = BreakDown(pid);
    long sinceCreate =
        static_cast<long>((start.inUseBytes - start.inUseAtCreate - start.inUseByHttp) / 1024);
    long hostHeap = static_cast<long>((start.inUseAtCreate + start.inUseByHttp) / 1024);
    long host = parts.Host() + parts.threadStacks + hostHeap;
    long share = parts.program + parts.mainStack + sinceCreate;
    printf(
        "private dirty memory after start-up, %ld KiB: the program %ld, the main thread's stack "
        "%ld, other threads' stacks %ld, heap and other anonymous memory %ld (the allocator's "
        "bytes in use: %ld KiB before the create callback and by the HTTP library's set-up, "
        "%ld by the service since); library data: the C and "
        "C++ runtime %ld, JsonCpp %ld, the host device's %ld (%s, ...)\n",
        start.privateDirtyKiB, parts.program, parts.mainStack, parts.threadStacks, parts.heap,
        hostHeap, sinceCreate, parts.runtime, parts.jsoncpp, parts.Host(),
        Largest(parts.host, 6).c_str());
    bool pass = start.privateDirtyKiB <= 1024 || (host > 1024 && share <= 256);
    printf(
        "  the host's %ld KiB (library data, threads, allocations before the create callback "
        "and by the HTTP library's set-up); "
        "the service's %ld KiB (program, main stack, allocations since)  [%s: all at most 1024 "
        "KiB, or the service's at most 256 KiB when the host's alone are more]\n",
        host, share, Verdict(pass));
}

// Starts the service; its pid once it has handled a first request and, as the loop went idle, its
// host has set up the HTTP library (the end of the start-up), or -1 with the service stopped.
pid_t StartSettled() {
    // Only this start's own lines count: earlier starts logged the same.
    long offset = FileSize(tvhost::RootPath("log/dlog.log"));
    pid_t pid = StartService(BRENWICK_BIN);
    if (WaitFor([&] { return tvhost::AppRunning("com.talvoro.tv.brenwick"); }, 5000) &&
        StartedUp(pid, offset) &&
        LogShows(offset, "TVHOST(" + std::to_string(pid) + "): set up the HTTP library"))
        return pid;
    StopService(pid);
    return -1;
}

// Memory and open descriptors after start-up, after `first` and after ten times as many updates.
void MeasureLongRun(pid_t pid, int first) {
    Memory start = MemoryOf(pid);
    CheckPrivateAfterStart(pid, start);
    if (!PlayUpdates(first))
        return;
    Memory afterFirst = MemoryOf(pid);
    int fdsFirst = OpenDescriptors(pid);
    auto begin = Clock::now();
    if (!PlayUpdates(first * 9))
        return;
    double perUpdate = Micros(begin, Clock::now()) / 1000.0 / (first * 9);
    Memory afterLast = MemoryOf(pid);
    int fdsLast = OpenDescriptors(pid);
    PrintMemory("after start-up", start, start);
    for (const auto& [updates, memory] :
         {std::make_pair(first, afterFirst), std::make_pair(first * 10, afterLast)}) {
        PrintMemory("after " + std::to_string(updates) + " updates", memory, start);
        printf("  grown most (KiB): %s  [%s: resident within 256 KiB of the size after start-up]\n",
               MostGrown(start, memory).c_str(),
               Verdict(labs(memory.residentKiB - start.residentKiB) <= 256));
    }
    printf(
        "  the allocator's bytes in use after %d updates against %d: %+.1f KiB  [%s: within 16 "
        "KiB]\n",
        first * 10, first, static_cast<double>(afterLast.inUseBytes - afterFirst.inUseBytes) / 1024,
        Verdict(llabs(afterLast.inUseBytes - afterFirst.inUseBytes) <= 16 * 1024));
    printf("open descriptors: %d after %d updates, %d after %d  [%s: the same]\n", fdsFirst, first,
           fdsLast, first * 10, Verdict(fdsFirst == fdsLast));
    printf("a whole update (notification, answer, install, end) took %.2f ms on average\n",
           perUpdate);
}

void MeasureLatency(int samples) {
    std::string launches = tvhost::RootPath("log/launch.jsonl");
    std::vector<double> latencies;
    int fd = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(fd, tvhost::RootPath("log").c_str(), IN_MODIFY | IN_CREATE);
    for (int i = 0; i < samples; ++i) {
        vconf_set_str("memory/pax/priority_biu_status", "priority0_installed");
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        long before = FileSize(launches);
        auto start = Clock::now();
        vconf_set_str("memory/pax/priority_biu_status", "priority0_installprogress");
        char buf[4096];
        struct pollfd ready = {fd, POLLIN, 0};
        while (FileSize(launches) <= before) {
            if (poll(&ready, 1, 2000) != 1 || read(fd, buf, sizeof buf) < 0) {
                close(fd);
                Fail("status write to launch journaled: no launch within 2 s of write " +
                     std::to_string(i + 1));
                return;
            }
        }
        latencies.push_back(Micros(start, Clock::now()));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    close(fd);
    double median = Percentile(latencies, 0.5);
    printf(
        "status write to launch journaled, %d samples: median %.0f us, p99 %.0f us  [%s: median <= "
        "1000 us]\n",
        samples, median, Percentile(latencies, 0.99), Verdict(median <= 1000));
}

// A release-notes server that answers its request with a body of `bodyBytes` (-1: endless, in
// chunks) as fast as the client takes it, and counts what it sent until the client hung up.
class FloodServer {
  public:
    explicit FloodServer(long long bodyBytes) : m_bodyBytes(bodyBytes) {
        int port = 0;
        m_fd = ListenOnLoopback("ServiceBench", &port);
        m_baseUrl = "http://127.0.0.1:" + std::to_string(port);
        m_thread = std::thread([this] { m_ServeOne(); });
    }
    ~FloodServer() {
        stop = true;
        shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        close(m_fd);
    }
    const std::string& BaseUrl() const { return m_baseUrl; }

    std::atomic<long long> sent{0};
    std::atomic<bool> done{false};  // the whole body went out, or the client hung up
    std::atomic<bool> stop{false};

  private:
    void m_ServeOne() {
        int client = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            return;
        ReadRequestHead(client);
        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n";
        head += m_bodyBytes < 0 ? "Transfer-Encoding: chunked\r\n\r\n"
                                : "Content-Length: " + std::to_string(m_bodyBytes) + "\r\n\r\n";
        std::string piece(size_t{64} * 1024, ' ');
        piece.replace(0, 9, "{\"rsp\":{ ");
        char size[32];
        snprintf(size, sizeof size, "%zx\r\n", piece.size());
        std::string chunk = size + piece + "\r\n";
        bool ok = Send(client, head);
        while (ok && !stop && (m_bodyBytes < 0 || sent < m_bodyBytes)) {
            long long left = m_bodyBytes - sent;
            const std::string& next = m_bodyBytes < 0
                                          ? chunk
                                          : (left < static_cast<long long>(piece.size())
                                                 ? piece.substr(0, static_cast<size_t>(left))
                                                 : piece);
            ok = Send(client, next);
            if (ok)
                sent += static_cast<long long>(next.size());
        }
        done = true;
        close(client);
    }

    static bool Send(int fd, const std::string& bytes) {
        return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }

    long long m_bodyBytes;
    int m_fd = -1;
    std::string m_baseUrl;
    std::thread m_thread;
};

// The service's peak resident memory while it fetches the release notes from a server that
// answers with `bodyBytes` (-1: without end). An endless answer is cut off by the bench after
// 30 s or once the service holds 1 GiB.
void MeasureReleaseNotes(long long bodyBytes, const char* what) {
    FloodServer server(bodyBytes);
    tvhost::WriteFileAtomic(tvhost::RootPath("config/server_url"), server.BaseUrl());
    tvhost::WriteFileAtomic(tvhost::RootPath("store/major_file_info.json"),
                            "{\"id\":\"com.talvoro.tv.zefo.homeversion\",\"version\":\"7.0.0\","
                            "\"targetGroupType\":\"normal\",\"maxRetryCount\":3}\n");
    pid_t pid = StartSettled();
    if (pid < 0) {
        Fail(std::string("release notes ") + what + ": the service did not start");
        return;
    }
    long privateBefore = ProcField(pid, "smaps_rollup", "Private_Dirty");
    vconf_set_str(STATUS_KEY, "priority0_start");
    long peak = 0;
    auto start = Clock::now();
    bool cutOff = false;
    while (!server.done && kill(pid, 0) == 0) {
        peak = std::max(peak, StatusField(pid, "VmRSS"));
        if (peak > 1024L * 1024 || Micros(start, Clock::now()) > 30e6)
            cutOff = server.stop = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The worker has ended when the main thread is the only one left.
    bool ended = WaitFor([&] { return StatusField(pid, "Threads") == 1; }, 5000);
    long privateAfter = ProcField(pid, "smaps_rollup", "Private_Dirty");
    peak = std::max(peak, StatusField(pid, "VmHWM"));
    bool alive = kill(pid, 0) == 0;
    StopService(pid);
    printf(
        "release notes %s: the server sent %.1f MiB (%s); the service's peak resident memory "
        "%ld KiB%s  [%s: < 16384 KiB]\n",
        what, static_cast<double>(server.sent) / (1024 * 1024),
        cutOff ? "cut off by the bench" : "until the service hung up or the body ended", peak,
        alive ? "" : ", and it did not survive", Verdict(alive && peak < 16384));
    printf(
        "  private dirty memory %ld KiB before the transfer, %ld KiB once its worker %s  [%s: "
        "back within 128 KiB]\n",
        privateBefore, privateAfter, ended ? "ended" : "was waited for in vain",
        Verdict(ended && privateAfter - privateBefore <= 128));
}

// The exit status: 1 after any FAIL, when the scratch device stays for a look.
int EndRun(const char* dir) {
    if (g_failed) {
        printf("the device root stays for a look: %s/root\n", dir);
        return 1;
    }
    std::string cleanup = "rm -rf '" + std::string(dir) + "'";
    return system(cleanup.c_str()) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    bool against = argc > 2 && strcmp(argv[1], "--start-up-against") == 0;
    int updates = argc > 1 && !against ? atoi(argv[1]) : 1000;
    if (updates < 1 || (argc > 1 && argv[1][0] == '-' && !against)) {
        fprintf(stderr,
                "usage: ServiceBench [UPDATES]\n"
                "       ServiceBench --start-up-against OTHER_BRENWICK [RUNS]\n");
        return 2;
    }
    char dir[] = "/tmp/servicebench-XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    if (!ProvisionScratchRoot("ServiceBench", dir))
        return 1;
    tvhost::SetSelfAppId("bench");
    // A program just built has pages not yet written back, which count as private and dirty
    // in every process that maps them.
    sync();

    if (against) {
        CompareStartUp(argv[2], argc > 3 ? std::max(atoi(argv[3]), 1) : 150);
        return EndRun(dir);
    }
    MeasureStartUp();

    pid_t pid = StartSettled();
    if (pid < 0) {
        printf("FAIL the service did not start (or its host did not set up the HTTP library)\n");
        return 1;
    }
    WriteMajorFileInfo();
    MeasureLongRun(pid, updates);

    MeasureLatency(300);

    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    long switchesBefore = StatusField(pid, "voluntary_ctxt_switches") +
                          StatusField(pid, "nonvoluntary_ctxt_switches");
    std::this_thread::sleep_for(std::chrono::seconds(5));
    long wakeUps = StatusField(pid, "voluntary_ctxt_switches") +
                   StatusField(pid, "nonvoluntary_ctxt_switches") - switchesBefore;
    printf("wake-ups while idle for 5 s: %ld  [%s: 0]\n", wakeUps, Verdict(wakeUps == 0));

    StopService(pid);

    MeasureReleaseNotes(200LL * 1000 * 1000, "of 200 MB");
    MeasureReleaseNotes(-1, "without end");

    return EndRun(dir);
}
