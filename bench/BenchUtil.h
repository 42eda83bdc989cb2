// Helpers shared by the latency benches: header-only, as each bench is a program of its own.
#pragma once

#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
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
