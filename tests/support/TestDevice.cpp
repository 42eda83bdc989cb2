#include "TestDevice.h"

#include <glib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "HostCore.h"
#include "Provision.h"
#include "vconf.h"

namespace fs = std::filesystem;

TestDevice::TestDevice(size_t rootLength) {
    const char* previous = getenv("TV_DEVICE_ROOT");
    m_hadPreviousRoot = previous != nullptr;
    if (previous)
        m_previousRoot = previous;
    std::string pattern = (fs::temp_directory_path() / "tvdevice-test-XXXXXX").string();
    if (!mkdtemp(&pattern[0]))
        throw std::runtime_error("mkdtemp failed");
    m_tempDir = pattern;
    m_root = pattern + "/root";
    while (m_root.size() + 1 < rootLength)
        m_root += "/" + std::string(std::min<size_t>(60, rootLength - m_root.size() - 1), 'd');
    setenv("TV_DEVICE_ROOT", m_root.c_str(), 1);
    std::string error;
    if (!tvhost::Provision(false, &error))
        throw std::runtime_error("provision: " + error);
}

TestDevice::~TestDevice() {
    const char* keep = getenv("TV_KEEP_TEST_ROOT");
    if (!(keep && std::string(keep) == "1")) {
        std::error_code ignored;
        fs::remove_all(m_tempDir, ignored);
    }
    if (m_hadPreviousRoot) {
        setenv("TV_DEVICE_ROOT", m_previousRoot.c_str(), 1);
    } else {
        unsetenv("TV_DEVICE_ROOT");
    }
}

std::string TestDevice::ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool TestDevice::Exists(const std::string& relative) const {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(Path(relative), ignored));
}

void TestDevice::Write(const std::string& relative, const std::string& content) const {
    fs::create_directories(fs::path(Path(relative)).parent_path());
    std::ofstream out(Path(relative), std::ios::binary | std::ios::trunc);
    out << content;
}

void TestDevice::Remove(const std::string& relative) const {
    std::error_code ignored;
    fs::remove(Path(relative), ignored);
}

std::set<std::string> TestDevice::Names(const std::string& relative) const {
    std::set<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(Path(relative), ignored))
        names.insert(entry.path().filename().string());
    return names;
}

bool TestDevice::LogHas(const std::string& text) const {
    return LogLineOf(text) >= 0;
}

int TestDevice::LogCount(const std::string& text) const {
    std::stringstream lines(Log());
    int count = 0;
    for (std::string line; std::getline(lines, line);)
        count += line.find(text) != std::string::npos;
    return count;
}

int TestDevice::LogLineOf(const std::string& text) const {
    std::stringstream lines(Log());
    std::string line;
    for (int index = 0; std::getline(lines, line); ++index) {
        if (line.find(text) != std::string::npos)
            return index;
    }
    return -1;
}

std::vector<Json::Value> TestDevice::Journal(const std::string& name) const {
    std::vector<Json::Value> entries;
    std::stringstream lines(Read("log/" + name));
    for (std::string line; std::getline(lines, line);) {
        entries.emplace_back();
        if (!ParseJson(line, &entries.back()))
            throw std::runtime_error("bad journal line in " + name + ": " + line);
    }
    return entries;
}

std::vector<Json::Value> TestDevice::Entries(const std::string& name, const std::string& field,
                                             const Json::Value& value) const {
    std::vector<Json::Value> found;
    for (const auto& entry : Journal(name)) {
        if (entry[field] == value)
            found.push_back(entry);
    }
    return found;
}

std::string TestDevice::Launches(const std::string& appId) const {
    std::string text;
    for (const auto& entry : Entries("launch.jsonl", "app_id", appId))
        text += ExtraOf(entry) + "\n";
    return text;
}

int TestDevice::Shell(const std::string& command, std::string* output) const {
    std::string full = "TV_DEVICE_ROOT='" + m_root + "' " + command + " 2>&1";
    FILE* pipe = popen(full.c_str(), "r");
    if (!pipe)
        return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
        text.append(buf, n);
    int status = pclose(pipe);
    if (output)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int TestDevice::Tvctl(const std::string& args, std::string* output) const {
    return Shell(std::string(TVCTL_BIN) + " " + args, output);
}

bool ParseJson(const std::string& text, Json::Value* value) {
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), value, &errors);
}

std::string ExtraOf(const Json::Value& entry) {
    std::string extra;
    for (const auto& pair : entry["extra"])
        extra += pair[0].asString() + "=" + pair[1].asString() + ";";
    return extra;
}

namespace {

constexpr const char* SETTLE_KEY = "memory/test/settle";

void OnSettleKey(keynode_t*, void* seen) {
    *static_cast<bool*>(seen) = true;
}

// Every journal and the log only grow: their total size tells whether anything happened.
uintmax_t LogBytes(const std::string& root) {
    uintmax_t bytes = 0;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(root + "/log", ignored))
        bytes += entry.file_size(ignored);
    return bytes;
}

}  // namespace

bool TestDevice::Settle(bool serving) const {
    for (int round = 0; round < 10; ++round) {
        uintmax_t before = LogBytes(m_root);
        bool keySeen = false, messageSeen = !serving;
        vconf_notify_key_changed(SETTLE_KEY, OnSettleKey, &keySeen);
        vconf_set_str(SETTLE_KEY, std::to_string(round).c_str());
        if (serving) {
            tvhost::SetMessageHandler("settle", [&](const Json::Value&) { messageSeen = true; });
            Json::Value marker;
            marker["kind"] = "settle";
            tvhost::SendToApp(tvhost::SelfAppId(), marker);
        }
        bool answered = RunLoopUntil([&] { return keySeen && messageSeen; });
        vconf_ignore_key_changed(SETTLE_KEY, OnSettleKey);
        tvhost::SetMessageHandler("settle", nullptr);
        if (!answered)
            return false;
        if (LogBytes(m_root) == before)
            return true;
    }
    return false;
}

namespace {

bool PollUntil(const std::function<bool()>& done, int timeoutMs, bool iterateLoop) {
    gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(timeoutMs) * 1000;
    while (!done()) {
        if (g_get_monotonic_time() >= deadline)
            return false;
        if (!iterateLoop)
            g_usleep(10000);
        else if (!g_main_context_iteration(nullptr, FALSE))
            g_usleep(1000);
    }
    return true;
}

}  // namespace

bool RunLoopUntil(const std::function<bool()>& done, int timeoutMs) {
    return PollUntil(done, timeoutMs, true);
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    return PollUntil(done, timeoutMs, false);
}

#ifdef BRENWICK_COVERAGE
extern "C" void __gcov_dump(void);  // NOLINT(bugprone-reserved-identifier)
#endif

int StatusOfChild(const std::function<int()>& body, unsigned alarmSeconds) {
    pid_t child = fork();
    if (child == 0) {
        alarm(alarmSeconds);
        ExitChild(body());
    }
    int status = -1;
    waitpid(child, &status, 0);
    return status;
}

void ExitChild(int status) {
#ifdef BRENWICK_COVERAGE
    // _exit skips the handler that writes a coverage build's counts: a forked child's share of
    // the code would never be counted.
    __gcov_dump();
#endif
    _exit(status);
}
