// The platform log: log/dlog.log, and standard error when it is a terminal or TV_LOG_STDERR=1.
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "HostCore.h"
#include "dlog.h"

namespace {

char PriorityLetter(int prio) {
    static const char letters[] = "VDIWEF";
    if (prio < DLOG_VERBOSE || prio > DLOG_FATAL)
        return '?';
    return letters[prio - DLOG_VERBOSE];
}

// Decided once, at the first line: neither the setting nor the terminal changes under a running
// process.
bool MirrorToStderr() {
    static const bool mirror = [] {
        const char* flag = getenv("TV_LOG_STDERR");
        if (flag)
            return std::string(flag) == "1";
        return isatty(STDERR_FILENO) == 1;
    }();
    return mirror;
}

// This process's id, asked for once and again in a child after a fork.
std::atomic<pid_t> g_pid{0};

pid_t Pid() {
    static const bool forgetsAtFork = [] {
        pthread_atfork(nullptr, nullptr, [] { g_pid = 0; });
        return true;
    }();
    (void)forgetsAtFork;
    pid_t pid = g_pid;
    if (pid == 0) {
        pid = getpid();
        g_pid = pid;
    }
    return pid;
}

// "2026-12-05 21:02:04.123". The date and time of the second are made again only when the
// second changes.
void Timestamp(char (&text)[48]) {
    thread_local time_t t_second = -1;
    thread_local char t_secondText[24];
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    if (tv.tv_sec != t_second) {
        struct tm tm;
        localtime_r(&tv.tv_sec, &tm);
        strftime(t_secondText, sizeof t_secondText, "%Y-%m-%d %H:%M:%S", &tm);
        t_second = tv.tv_sec;
    }
    snprintf(text, sizeof text, "%s.%03ld", t_secondText, static_cast<long>(tv.tv_usec / 1000));
}

void WriteLine(int prio, const char* tag, const char* message, size_t length) {
    char time[48];
    Timestamp(time);
    char head[160];
    int headLength = snprintf(head, sizeof head, "%s %c/%s(%d): ", time, PriorityLetter(prio),
                              tag ? tag : "", static_cast<int>(Pid()));
    std::string line;
    line.reserve(static_cast<size_t>(headLength) + length + 1);
    line.append(head, static_cast<size_t>(headLength)).append(message, length).push_back('\n');
    tvhost::AppendToLog("dlog.log", line);
    if (MirrorToStderr()) {
        ssize_t written = write(STDERR_FILENO, line.data(), line.size());
        (void)written;
    }
}

}  // namespace

namespace tvhost {

void HostLog(int prio, const char* tag, const std::string& message) {
    WriteLine(prio, tag, message.data(), message.size());
}

}  // namespace tvhost

extern "C" int __dlog_print(log_id_t log_id, int prio, const char* tag, const char* fmt, ...) {
    (void)log_id;
    int faulted = 0;
    if (tvhost::FaultHit("__dlog_print", &faulted))
        return faulted;
    if (!fmt)
        return -1;
    // Most lines fit the buffer on the stack; a longer one is formatted again on the heap.
    char text[1024];
    va_list args;
    va_start(args, fmt);
    int length = vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    if (length < 0)
        return -1;
    if (static_cast<size_t>(length) < sizeof text) {
        WriteLine(prio, tag, text, static_cast<size_t>(length));
        return length;
    }
    char* message = nullptr;
    va_start(args, fmt);
    length = vasprintf(&message, fmt, args);
    va_end(args);
    if (length < 0)
        return -1;
    WriteLine(prio, tag, message, static_cast<size_t>(length));
    free(message);
    return length;
}
