// Fault rules in ROOT/faults, shared by every process of the device. A rule's TIMES is counted
// in the file itself, under an flock on ROOT/.faults.lock; counting down rewrites only that
// rule's TIMES (or drops its line when it is used up), so comments and every other byte stay.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "FaultCalls.h"
#include "HostCore.h"
#include "dlog.h"

namespace tvhost {
namespace {

const char* const BLANKS = " \t\r\v\f";

// One line of the file and where it lies in the text.
struct FaultLine {
    int number = 0;  // from 1
    size_t begin = 0;
    size_t end = 0;  // past the line feed
    bool isRule = false;
    FaultRule rule;
    size_t timesBegin = 0;  // TIMES, the last word, when the rule has one
    size_t timesEnd = 0;
    std::string text;
    std::string error;  // why a line that is neither a rule nor a comment is ignored
};

std::vector<FaultLine> ParseFaultFile(const std::string& text) {
    std::vector<FaultLine> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t feed = text.find('\n', begin);
        size_t stop = feed == std::string::npos ? text.size() : feed;
        FaultLine line;
        line.number = static_cast<int>(lines.size()) + 1;
        line.begin = begin;
        line.end = feed == std::string::npos ? stop : stop + 1;
        line.text = text.substr(begin, stop - begin);
        if (!IsFaultComment(line.text)) {
            line.isRule = ParseFaultRule(line.text, &line.rule, &line.error);
            if (line.isRule && line.rule.times > 0) {
                size_t last = line.text.find_last_not_of(BLANKS);
                line.timesBegin = begin + line.text.find_last_of(BLANKS, last) + 1;
                line.timesEnd = begin + last + 1;
            }
        }
        lines.push_back(line);
        begin = line.end;
    }
    return lines;
}

// The calls the rules of the current file name, read again only after the file changed (in
// this process or another), so that a call without a rule asks the kernel one question at most.
struct FaultCache {
    std::mutex mutex;
    bool valid = false;
    unsigned long generation = 0;
    std::set<std::string, std::less<>> calls;  // looked up by the caller's text as it is
    std::set<std::string> reported;            // bad lines already in the log, by root and text
};

FaultCache& Cache() {
    static FaultCache* cache = new FaultCache();  // outlives static destructors of other units
    return *cache;
}

// Caller holds the cache's mutex.
void ReportBadLines(FaultCache& cache, const std::string& root,
                    const std::vector<FaultLine>& lines) {
    for (const auto& line : lines) {
        if (line.error.empty() || !cache.reported.insert(root + "\n" + line.text).second)
            continue;
        HostLog(DLOG_WARN, "TVHOST",
                "faults line " + std::to_string(line.number) + ": " + line.error +
                    "; the line is ignored");
    }
}

// *none tells that there are no rules at all.
bool RulesMention(const char* call, bool* none) {
    FaultCache& cache = Cache();
    // Asked before the file is read: a change made while it is read is seen at the next call.
    unsigned long generation = Generation(Area::FAULTS);
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (!cache.valid || cache.generation != generation) {
        std::string root = DeviceRoot();
        std::string text;
        cache.valid = true;
        cache.generation = generation;
        cache.calls.clear();
        if (!root.empty() && ReadWholeFile(root + "/faults", &text)) {
            std::vector<FaultLine> lines = ParseFaultFile(text);
            for (const auto& line : lines) {
                if (line.isRule)
                    cache.calls.insert(line.rule.call);
            }
            ReportBadLines(cache, root, lines);
        }
    }
    *none = cache.calls.empty();
    return !*none && cache.calls.find(call) != cache.calls.end();
}

class FaultFileLock {
  public:
    FaultFileLock()
        : m_fd(open(RootPath(".faults.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (m_fd >= 0)
            flock(m_fd, LOCK_EX);
    }
    ~FaultFileLock() {
        if (m_fd >= 0)
            close(m_fd);
    }

  private:
    int m_fd;
};

}  // namespace

bool FaultHit(const char* call, int* result) {
    // The console plays the rest of the television; rules are meant for the applications, and
    // reading or setting state with tvctl must not use them up.
    if (SelfIsConsole())
        return false;
    // Most events find no rules at all, and make a score of platform calls each: once the rules
    // were found empty, the rest of the event asks nothing.
    thread_local unsigned long t_noRulesIn = 0;
    unsigned long stretch = UnchangedStretch();
    if (stretch != 0 && stretch == t_noRulesIn)
        return false;
    bool none = false;
    if (!RulesMention(call, &none)) {
        if (none)
            t_noRulesIn = stretch;
        return false;
    }
    FaultFileLock lock;
    std::string text;
    if (!ReadWholeFile(RootPath("faults"), &text))
        return false;
    for (const auto& line : ParseFaultFile(text)) {
        if (!line.isRule || line.rule.call != call)
            continue;
        if (result)
            *result = line.rule.result;
        if (line.rule.times < 0)
            return true;
        if (line.rule.times == 1) {
            text.erase(line.begin, line.end - line.begin);
        } else {
            text.replace(line.timesBegin, line.timesEnd - line.timesBegin,
                         std::to_string(line.rule.times - 1));
        }
        WriteFileAtomic(RootPath("faults"), text);
        Changed(Area::FAULTS);
        return true;
    }
    return false;
}

bool FaultAdd(const std::string& call, const std::string& result, const std::string& times,
              std::string* error) {
    FaultRule rule;
    if (!CheckFaultRule(call, result, times, &rule, error))
        return false;
    FaultFileLock lock;
    std::string text;
    ReadWholeFile(RootPath("faults"), &text);
    if (!text.empty() && text.back() != '\n')
        text += "\n";
    text += call + " " + result + (times.empty() ? "" : " " + times) + "\n";
    bool written = WriteFileAtomic(RootPath("faults"), text);
    Changed(Area::FAULTS);
    if (written)
        return true;
    if (error)
        *error = "cannot write " + RootPath("faults");
    return false;
}

bool FaultClear() {
    FaultFileLock lock;
    bool cleared = unlink(RootPath("faults").c_str()) == 0 || errno == ENOENT;
    Changed(Area::FAULTS);
    return cleared;
}

}  // namespace tvhost
