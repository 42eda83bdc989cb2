// The platform log: log/dlog.log, and standard error when it is a terminal or TV_LOG_STDERR=1.
#include <sys/time.h>
#include <unistd.h>

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

bool MirrorToStderr() {
    const char* flag = getenv("TV_LOG_STDERR");
    if (flag)
        return std::string(flag) == "1";
    return isatty(STDERR_FILENO);
}

std::string Timestamp() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char buf[64];
    size_t n = strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    snprintf(buf + n, sizeof buf - n, ".%03ld", static_cast<long>(tv.tv_usec / 1000));
    return buf;
}

}  // namespace

namespace tvhost {

void HostLog(int prio, const char* tag, const std::string& message) {
    char head[160];
    snprintf(head, sizeof head, "%s %c/%s(%d): ", Timestamp().c_str(), PriorityLetter(prio),
             tag ? tag : "", static_cast<int>(getpid()));
    std::string line = std::string(head) + message + "\n";
    // One write per line, so that lines of threads and processes never interleave.
    int fd = OpenLogFile("dlog.log");
    if (fd >= 0) {
        ssize_t written = write(fd, line.data(), line.size());
        (void)written;
        close(fd);
    }
    if (MirrorToStderr()) {
        ssize_t written = write(STDERR_FILENO, line.data(), line.size());
        (void)written;
    }
}

}  // namespace tvhost

extern "C" int __dlog_print(log_id_t log_id, int prio, const char* tag, const char* fmt, ...) {
    (void)log_id;
    int faulted = 0;
    if (tvhost::FaultHit("__dlog_print", &faulted))
        return faulted;
    if (!fmt)
        return -1;
    va_list args;
    va_start(args, fmt);
    char* message = nullptr;
    int length = vasprintf(&message, fmt, args);
    va_end(args);
    if (length < 0)
        return -1;
    tvhost::HostLog(prio, tag, message);
    free(message);
    return length;
}
