// The platform log: log/dlog.log, and standard error when it is a terminal or TV_LOG_STDERR=1.
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Puts "2026-12-05 21:02:04.123 E/TAG(PID): " at `line`, which has room for HEAD_MAX bytes and
// the tag; returns its length. Made by hand, as it is in front of every line: the date and time of
// the second are formatted again only when the second changes.
constexpr size_t HEAD_MAX = 64;

size_t Head(int prio, const char* tag, size_t tagLength, char* line) {
    thread_local time_t t_second = -1;
    thread_local char t_secondText[24];
    thread_local size_t t_secondLength = 0;
    thread_local pid_t t_pid = 0;
    thread_local char t_pidText[16];
    thread_local size_t t_pidLength = 0;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    if (tv.tv_sec != t_second) {
        struct tm tm;
        localtime_r(&tv.tv_sec, &tm);
        t_secondLength = strftime(t_secondText, sizeof t_secondText, "%Y-%m-%d %H:%M:%S", &tm);
        t_second = tv.tv_sec;
    }
    if (Pid() != t_pid) {
        t_pid = Pid();
        t_pidLength = static_cast<size_t>(
            snprintf(t_pidText, sizeof t_pidText, "(%d): ", static_cast<int>(t_pid)));
    }
    size_t at = t_secondLength;
    memcpy(line, t_secondText, at);
    auto milliseconds = static_cast<unsigned>(tv.tv_usec / 1000);
    line[at++] = '.';
    line[at++] = static_cast<char>('0' + milliseconds / 100);
    line[at++] = static_cast<char>('0' + milliseconds / 10 % 10);
    line[at++] = static_cast<char>('0' + milliseconds % 10);
    line[at++] = ' ';
    line[at++] = PriorityLetter(prio);
    line[at++] = '/';
    memcpy(line + at, tag, tagLength);
    at += tagLength;
    memcpy(line + at, t_pidText, t_pidLength);
    return at + t_pidLength;
}

void Emit(const char* line, size_t length) {
    tvhost::AppendToLog("dlog.log", line, length);
    if (MirrorToStderr()) {
        ssize_t written = write(STDERR_FILENO, line, length);
        (void)written;
    }
}

// A line too long for the stack, put together on the heap.
void EmitLong(int prio, const char* tag, const char* message, size_t length) {
    size_t tagLength = strlen(tag);
    std::string line(HEAD_MAX + tagLength, '\0');
    line.resize(Head(prio, tag, tagLength, &line[0]));
    line.append(message, length).push_back('\n');
    Emit(line.data(), line.size());
}

// Most lines are put together in one buffer on the stack, the message formatted right after its
// head; a longer one is formatted again on the heap.
constexpr size_t LINE_MAX = 1024;

}  // namespace

namespace tvhost {

void HostLog(int prio, const char* tag, const std::string& message) {
    EmitLong(prio, tag, message.data(), message.size());
}

}  // namespace tvhost

extern "C" int __dlog_print(log_id_t log_id, int prio, const char* tag, const char* fmt, ...) {
    (void)log_id;
    int faulted = 0;
    if (tvhost::FaultHit("__dlog_print", &faulted))
        return faulted;
    if (!fmt)
        return -1;
    if (!tag)
        tag = "";
    size_t tagLength = strnlen(tag, LINE_MAX / 2);
    char line[HEAD_MAX + LINE_MAX / 2 + LINE_MAX + 1];
    size_t head = Head(prio, tag, tagLength, line);
    va_list args;
    va_start(args, fmt);
    int length = vsnprintf(line + head, LINE_MAX, fmt, args);
    va_end(args);
    if (length < 0)
        return -1;
    if (static_cast<size_t>(length) < LINE_MAX) {
        line[head + static_cast<size_t>(length)] = '\n';
        Emit(line, head + static_cast<size_t>(length) + 1);
        return length;
    }
    char* message = nullptr;
    va_start(args, fmt);
    length = vasprintf(&message, fmt, args);
    va_end(args);
    if (length < 0)
        return -1;
    EmitLong(prio, tag, message, static_cast<size_t>(length));
    free(message);
    return length;
}
