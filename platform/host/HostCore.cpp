#include "HostCore.h"
#include "FdSource.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "tv_path.h"

namespace tvhost {

namespace {

// The root a raw TV_DEVICE_ROOT value stands for: absolute, without "." or ".." parts or a
// trailing '/'. A relative value is resolved once, so that a later chdir cannot move the root.
// Every path the host makes asks for the root: each thread keeps the last answer, and takes the
// lock only when the value changed.
std::string AbsoluteRoot(const char* raw) {
    thread_local std::string t_raw;
    thread_local std::string t_root;
    if (!t_root.empty() && t_raw == raw)
        return t_root;
    static std::mutex mutex;
    static std::string lastRaw;
    static std::string lastRoot;
    std::lock_guard<std::mutex> lock(mutex);
    if (lastRoot.empty() || lastRaw != raw) {
        std::error_code failed;
        std::filesystem::path path = std::filesystem::absolute(raw, failed);
        if (failed)
            return "";
        std::string root = path.lexically_normal().string();
        while (root.size() > 1 && root.back() == '/')
            root.pop_back();
        lastRaw = raw;
        lastRoot = root;
    }
    t_raw = lastRaw;
    t_root = lastRoot;
    return lastRoot;
}

std::string AbsoluteEnv(const char* name) {
    const char* value = getenv(name);
    return value && value[0] == '/' ? value : "";
}

}  // namespace

std::string DeviceRootProblem() {
    const char* root = getenv("TV_DEVICE_ROOT");
    if (root && !*root)
        return "TV_DEVICE_ROOT is set but empty (unset it for the default root)";
    if (!root && AbsoluteEnv("XDG_STATE_HOME").empty() && AbsoluteEnv("HOME").empty())
        return "TV_DEVICE_ROOT is unset and there is no XDG_STATE_HOME or HOME for the default";
    return "";
}

std::string DeviceRoot() {
    // Every path the host makes asks for the root, a few times in each event, within which it
    // stays what it was at the event's start.
    thread_local unsigned long t_stretch = 0;
    thread_local std::string t_root;
    unsigned long stretch = UnchangedStretch();
    if (stretch != 0 && stretch == t_stretch)
        return t_root;
    t_root = FindDeviceRoot();
    t_stretch = stretch;
    return t_root;
}

std::string FindDeviceRoot() {
    const char* root = getenv("TV_DEVICE_ROOT");
    if (root)
        return *root ? AbsoluteRoot(root) : "";  // set but empty: no root, never the default
    if (!DeviceRootProblem().empty())
        return "";
    std::string state = AbsoluteEnv("XDG_STATE_HOME");
    if (state.empty())
        state = AbsoluteEnv("HOME") + "/.local/state";
    return AbsoluteRoot((state + "/tvdevice").c_str());
}

std::string RootPath(const std::string& relative) {
    std::string root = DeviceRoot();
    return root.empty() ? "" : root + "/" + relative;
}

bool DeviceRootExists() {
    std::string mark;
    return ReadWholeFile(RootPath(ROOT_MARK), &mark) && mark == "provisioned\n";
}

bool ParseDecimal(const std::string& text, long long min, long long max, long long* value) {
    size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == digits || text.size() - digits > 18)
        return false;
    for (size_t i = digits; i < text.size(); ++i) {
        if (!isdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    if (text[digits] == '0' && text.size() > 1)
        return false;  // "007", "-0": a leading zero reads as octal to some, so it is refused
    long long number = strtoll(text.c_str(), nullptr, 10);
    if (number < min || number > max)
        return false;
    *value = number;
    return true;
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
std::atomic<bool> g_selfIsConsole{false};
}  // namespace

std::string SelfAppId() {
    std::lock_guard<std::mutex> lock(g_selfMutex);
    return g_selfAppId;
}

void SetSelfAppId(const std::string& appId) {
    std::lock_guard<std::mutex> lock(g_selfMutex);
    g_selfAppId = appId;
    g_selfIsConsole = appId == "tvctl";
}

bool SelfIsConsole() {
    return g_selfIsConsole;
}

bool MakeDirs(const std::string& path) {
    if (path.empty())
        return true;
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    size_t slash = path.find_last_not_of('/');
    slash = slash == std::string::npos ? std::string::npos : path.rfind('/', slash);
    if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash)))
        return false;
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;  // EEXIST: made meanwhile
}

bool WriteFileAtomic(const std::string& path, const std::string& content) {
    if (path.empty() || path[0] != '/')
        return false;  // no root: never a file relative to the working directory
    std::string dir = path.substr(0, path.rfind('/') + 1);
    std::string tmp = dir + ".tmp." + path.substr(dir.size()) + ".XXXXXX";
    int fd = mkstemp(&tmp[0]);
    if (fd < 0)
        return false;  // errno as mkstemp left it
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
        content->append(buf, static_cast<size_t>(n));
        if (static_cast<size_t>(n) < sizeof buf)
            break;
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

bool ParseJson(const std::string& text, Json::Value* value) {
    // Made once: a builder fills a whole table of settings before it makes its reader.
    thread_local std::unique_ptr<Json::CharReader> reader(
        Json::CharReaderBuilder().newCharReader());
    std::string errors;
    try {
        return reader->parse(text.data(), text.data() + text.size(), value, &errors);
    } catch (const Json::Exception&) {
        return false;
    }
}

std::string JsonQuoted(const std::string& text) {
    static const char HEX[] = "0123456789abcdef";
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    // Most texts need no escape at all: they go in whole.
    size_t plain = 0;
    while (plain < text.size() && static_cast<unsigned char>(text[plain]) >= 0x20 &&
           text[plain] != '"' && text[plain] != '\\')
        ++plain;
    quoted.append(text, 0, plain);
    for (size_t at = plain; at < text.size(); ++at) {
        auto c = static_cast<unsigned char>(text[at]);
        switch (c) {
            case '"':
                quoted += "\\\"";
                break;
            case '\\':
                quoted += "\\\\";
                break;
            case '\b':
                quoted += "\\b";
                break;
            case '\f':
                quoted += "\\f";
                break;
            case '\n':
                quoted += "\\n";
                break;
            case '\r':
                quoted += "\\r";
                break;
            case '\t':
                quoted += "\\t";
                break;
            default:
                if (c < 0x20) {
                    quoted += "\\u00";
                    quoted += HEX[c >> 4];
                    quoted += HEX[c & 0xf];
                } else {
                    quoted += static_cast<char>(c);
                }
        }
    }
    quoted += '"';
    return quoted;
}

JsonText JsonText::Raw(std::string json) {
    JsonText text;
    text.text = std::move(json);
    return text;
}

JsonText OrderedObject(const JsonMembers& members) {
    std::string text = "{";
    for (const auto& member : members) {
        if (text.size() > 1)
            text += ',';
        text += JsonQuoted(member.first);
        text += ':';
        text += member.second.text;
    }
    text += '}';
    return JsonText::Raw(std::move(text));
}

JsonText OrderedArray(const std::vector<JsonText>& items) {
    std::string text = "[";
    for (const auto& item : items) {
        if (text.size() > 1)
            text += ",";
        text += item.text;
    }
    return JsonText::Raw(text + "]");
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

JsonText PairsText(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string text = "[";
    for (const auto& kv : pairs) {
        if (text.size() > 1)
            text += ',';
        text += '[';
        text += JsonQuoted(kv.first);
        text += ',';
        text += JsonQuoted(kv.second);
        text += ']';
    }
    text += ']';
    return JsonText::Raw(std::move(text));
}

// log/NAME opened for appending. log/ is made again when it was removed, but only in a
// provisioned root: a process pointed at the wrong directory must not start filling it.
int OpenLogFile(const std::string& name) {
    std::string path = RootPath("log/" + name);
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT && DeviceRootExists() &&
        mkdir(RootPath("log").c_str(), 0755) == 0)
        fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    return fd;
}

guint AddFdSource(int fd, GIOCondition condition, GUnixFDSourceFunc function, gpointer data) {
    GSource* source = g_unix_fd_source_new(fd, condition);
    g_source_set_can_recurse(source, TRUE);
    g_source_set_callback(source, G_SOURCE_FUNC(function), data, nullptr);
    guint id = g_source_attach(source, nullptr);
    g_source_unref(source);
    return id;
}

namespace {

// The log files this process appends to, open while the log directory's generation stays.
struct OpenLogs {
    std::mutex mutex;
    unsigned long generation = 0;
    std::map<std::string, int> fds;
};

}  // namespace

void AppendToLog(const std::string& name, const char* line, size_t length) {
    static OpenLogs* logs = new OpenLogs();  // outlives static destructors of other units
    // Asked before any open: a file moved away after it is seen at the next line.
    unsigned long generation = Generation(Area::LOG);
    std::lock_guard<std::mutex> lock(logs->mutex);
    if (generation != logs->generation) {
        for (const auto& open : logs->fds)
            close(open.second);
        logs->fds.clear();
        logs->generation = generation;
    }
    auto found = logs->fds.find(name);
    if (found == logs->fds.end()) {
        int fd = OpenLogFile(name);
        if (fd < 0)
            return;
        found = logs->fds.emplace(name, fd).first;
    }
    ssize_t written = write(found->second, line, length);
    (void)written;
}

void JournalAppend(const std::string& name, std::initializer_list<JournalMember> entry) {
    std::string line = "{\"ts\":" + std::to_string(NowMs());
    line.reserve(256);
    for (const auto& member : entry) {
        line += ',';
        line += JsonQuoted(member.first);
        line += ':';
        line += member.second.text;
    }
    line += "}\n";
    AppendToLog(name, line);
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
