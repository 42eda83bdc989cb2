// Helpers shared by the latency benches: header-only, as each bench is a program of its own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HostCore.h"
#include "Provision.h"

// CLOCK_MONOTONIC, which the writer and the watcher processes share.
inline long long NowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// Sleeps until `spacingUs` after the previous slot, kept in *next: a slow write does not
// push back the ones after it.
inline void SleepUntilNextSlot(struct timespec* next, long spacingUs) {
    next->tv_nsec += spacingUs * 1000;
    while (next->tv_nsec >= 1000000000L) {
        next->tv_nsec -= 1000000000L;
        next->tv_sec += 1;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, next, nullptr);
}

// The value at `fraction` (0.5 the median) of nanosecond figures, in microseconds.
inline double PercentileUs(std::vector<long long> values, double fraction) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1));
    return static_cast<double>(values[index]) / 1000.0;
}

// Prints "PASS WHAT" or "FAIL WHAT".
inline bool Check(const char* what, bool pass) {
    printf("%s %s\n", pass ? "PASS" : "FAIL", what);
    return pass;
}

// A factory-fresh television at DIR/root, made the device root, with the key directory the
// benches write in. False, with a line on standard error, when it cannot be made.
inline bool ProvisionScratchRoot(const char* bench, const std::string& dir) {
    std::string root = dir + "/root";
    setenv("TV_DEVICE_ROOT", root.c_str(), 1);
    std::string error;
    if (tvhost::Provision(false, &error) && tvhost::MakeDirs(tvhost::RootPath("kdb/memory/bench")))
        return true;
    fprintf(stderr, "%s: cannot provision %s: %s\n", bench, root.c_str(), error.c_str());
    return false;
}

// Zero-filled memory that the processes forked afterwards share; null when it cannot be had.
template <typename T>
T* MapShared() {
    void* memory =
        mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<T*>(memory);
}

// A listening socket on 127.0.0.1 at a port the system picks, stored in *port. Ends the bench
// when there is none to be had.
inline int ListenOnLoopback(const char* bench, int* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        fprintf(stderr, "%s: cannot listen on 127.0.0.1\n", bench);
        exit(2);
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// Reads an HTTP request up to the end of its head; the rest does not matter to the benches.
inline void ReadRequestHead(int client) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        request.append(buffer, static_cast<size_t>(n));
    }
}

inline long FileSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? static_cast<long>(in.tellg()) : 0;
}

// The file from `offset` to its end.
inline std::string ReadFrom(const std::string& path, long offset) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset);
    std::stringstream rest;
    rest << in.rdbuf();
    return rest.str();
}

// Checks `done` every 200 us until it holds (true) or `timeoutMs` passes (false).
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// Waits up to 2 s for `text` in the platform log after `offset`.
inline bool LogShows(long offset, const std::string& text) {
    return WaitFor(
        [&] {
            return ReadFrom(tvhost::RootPath("log/dlog.log"), offset).find(text) !=
                   std::string::npos;
        },
        2000);
}

// A number from /proc/PID/FILE, e.g. "VmRSS" of "status" in KiB; -1 when there is none.
inline long ProcField(pid_t pid, const char* file, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return atol(line.c_str() + field.size() + 1);
    }
    return -1;
}

inline long StatusField(pid_t pid, const std::string& field) {
    return ProcField(pid, "status", field);
}

// The service binary on the current device root, its log kept off standard error.
inline pid_t StartService(const char* binary) {
    pid_t pid = fork();
    if (pid == 0) {
        setenv("TV_LOG_STDERR", "0", 1);
        execl(binary, binary, static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

inline void StopService(pid_t pid) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// A launch request from the console is handled only after the create callback returned, so its
// log line marks the end of the start-up sequence.
inline bool StartedUp(pid_t pid, long logOffset) {
    Json::Value ping(Json::objectValue);
    ping["kind"] = "launch";
    ping["caller"] = "bench";
    ping["app_id"] = "com.talvoro.tv.brenwick";
    ping["operation"] = Json::nullValue;
    ping["extra"] = tvhost::PairsToJson({{"LaunchReason", "Bench"}});
    if (tvhost::SendToApp("com.talvoro.tv.brenwick", ping) != 0)
        return false;
    return LogShows(logOffset, "Extra Data [LaunchReason] => Bench") && kill(pid, 0) == 0;
}
