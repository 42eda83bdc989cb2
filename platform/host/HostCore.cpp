#include "HostCore.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>

#include "tv_path.h"

namespace tvhost {

std::string DeviceRoot() {
    const char* root = getenv("TV_DEVICE_ROOT");
    if (root && *root)
        return root;
    const char* state = getenv("XDG_STATE_HOME");
    if (state && *state)
        return std::string(state) + "/tvdevice";
    const char* home = getenv("HOME");
    return std::string(home ? home : "") + "/.local/state/tvdevice";
}

std::string RootPath(const std::string& relative) {
    return DeviceRoot() + "/" + relative;
}

bool DeviceRootExists() {
    struct stat st;
    return stat(RootPath("kdb").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PlainName(const std::string& name) {
    return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos;
}

bool ProcessAlive(long pid) {
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

namespace {
std::mutex g_selfMutex;
std::string g_selfAppId;
}  // namespace

std::string SelfAppId() {
    std::lock_guard<std::mutex> lock(g_selfMutex);
    return g_selfAppId;
}

void SetSelfAppId(const std::string& appId) {
    std::lock_guard<std::mutex> lock(g_selfMutex);
    g_selfAppId = appId;
}

bool MakeDirs(const std::string& path) {
    std::string partial;
    std::stringstream parts(path);
    std::string part;
    if (!path.empty() && path[0] == '/')
        partial = "/";
    while (std::getline(parts, part, '/')) {
        if (part.empty())
            continue;
        partial += part + "/";
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

bool WriteFileAtomic(const std::string& path, const std::string& content) {
    std::string dir = path.substr(0, path.rfind('/') + 1);
    std::string tmp = dir + ".tmp." + path.substr(dir.size()) + ".XXXXXX";
    int fd = mkstemp(&tmp[0]);
    if (fd < 0)
        return false;
    const char* data = content.data();
    size_t left = content.size();
    bool ok = true;
    while (left > 0) {
        ssize_t n = write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    fchmod(fd, 0644);
    if (close(fd) != 0)
        ok = false;
    if (ok && rename(tmp.c_str(), path.c_str()) == 0)
        return true;
    unlink(tmp.c_str());
    return false;
}

bool ReadWholeFile(const std::string& path, std::string* content) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    content->clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        content->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

long long NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string JsonLine(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

Json::Value PairsToJson(const std::vector<std::pair<std::string, std::string>>& pairs) {
    Json::Value array(Json::arrayValue);
    for (const auto& kv : pairs) {
        Json::Value pair(Json::arrayValue);
        pair.append(kv.first);
        pair.append(kv.second);
        array.append(pair);
    }
    return array;
}

void JournalAppend(const std::string& name, const JournalEntry& entry) {
    std::string line = "{\"ts\":" + std::to_string(NowMs());
    for (const auto& member : entry) {
        line += "," + JsonLine(Json::Value(member.first)) + ":" + JsonLine(member.second);
    }
    line += "}\n";
    MakeDirs(RootPath("log"));
    int fd = open(RootPath("log/" + name).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    // One write per line, so that lines of several processes never interleave.
    ssize_t written = write(fd, line.data(), line.size());
    (void)written;
    close(fd);
}

// ---- fault rules ------------------------------------------------------------------------

namespace {

struct FaultRule {
    std::string call;
    std::string result;
    long times;  // -1: for ever
};

struct FaultCache {
    std::mutex mutex;
    bool valid = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {0, 0};
    std::string root;
    std::vector<FaultRule> rules;
};

FaultCache& Cache() {
    static FaultCache* cache = new FaultCache();  // outlives static destructors of other units
    return *cache;
}

std::vector<FaultRule> ParseRules(const std::string& text) {
    std::vector<FaultRule> rules;
    std::stringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::stringstream words(line);
        FaultRule rule;
        std::string times;
        if (!(words >> rule.call) || rule.call[0] == '#' || !(words >> rule.result))
            continue;
        rule.times = -1;
        if (words >> times) {
            char* end = nullptr;
            long n = strtol(times.c_str(), &end, 10);
            if (*end != '\0' || n < 0)
                continue;
            rule.times = n;
        }
        if (rule.times == 0)
            continue;
        rules.push_back(rule);
    }
    return rules;
}

std::string FormatRules(const std::vector<FaultRule>& rules) {
    std::string text;
    for (const auto& rule : rules) {
        text += rule.call + " " + rule.result;
        if (rule.times >= 0)
            text += " " + std::to_string(rule.times);
        text += "\n";
    }
    return text;
}

int ParseResult(const std::string& result) {
    if (result == "null")
        return 0;
    return static_cast<int>(strtol(result.c_str(), nullptr, 0));
}

// Rules are shared by every process of the device, so a rule's TIMES is counted in the file
// itself, under a lock, and the file is rewritten whole.
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

bool RulesMention(const char* call) {
    FaultCache& cache = Cache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    std::string root = DeviceRoot();
    struct stat st;
    if (stat((root + "/faults").c_str(), &st) != 0) {
        cache.valid = false;
        return false;
    }
    bool same = cache.valid && cache.root == root && cache.dev == st.st_dev &&
                cache.ino == st.st_ino && cache.size == st.st_size &&
                cache.mtime.tv_sec == st.st_mtim.tv_sec &&
                cache.mtime.tv_nsec == st.st_mtim.tv_nsec;
    if (!same) {
        std::string text;
        if (!ReadWholeFile(root + "/faults", &text))
            return false;
        cache.rules = ParseRules(text);
        cache.valid = true;
        cache.root = root;
        cache.dev = st.st_dev;
        cache.ino = st.st_ino;
        cache.size = st.st_size;
        cache.mtime = st.st_mtim;
    }
    for (const auto& rule : cache.rules) {
        if (rule.call == call)
            return true;
    }
    return false;
}

}  // namespace

bool FaultHit(const char* call, int* result) {
    // The console plays the rest of the television; rules are meant for the applications, and
    // reading or setting state with tvctl must not use them up.
    if (SelfAppId() == "tvctl")
        return false;
    if (!RulesMention(call))
        return false;
    FaultFileLock lock;
    std::string text;
    if (!ReadWholeFile(RootPath("faults"), &text))
        return false;
    std::vector<FaultRule> rules = ParseRules(text);
    for (size_t i = 0; i < rules.size(); ++i) {
        if (rules[i].call != call)
            continue;
        if (result)
            *result = ParseResult(rules[i].result);
        if (rules[i].times < 0)
            return true;
        if (--rules[i].times == 0)
            rules.erase(rules.begin() + static_cast<long>(i));
        WriteFileAtomic(RootPath("faults"), FormatRules(rules));
        return true;
    }
    return false;
}

bool FaultAdd(const std::string& call, const std::string& result, const std::string& times) {
    FaultFileLock lock;
    std::string text;
    ReadWholeFile(RootPath("faults"), &text);
    if (!text.empty() && text.back() != '\n')
        text += "\n";
    text += call + " " + result + (times.empty() ? "" : " " + times) + "\n";
    return WriteFileAtomic(RootPath("faults"), text);
}

bool FaultClear() {
    FaultFileLock lock;
    return unlink(RootPath("faults").c_str()) == 0 || errno == ENOENT;
}

}  // namespace tvhost

extern "C" char* tv_path_get(const char* path) {
    if (!path)
        return nullptr;
    std::string full = tvhost::RootPath("fs");
    if (path[0] != '/')
        full += "/";
    full += path;
    return strdup(full.c_str());
}
