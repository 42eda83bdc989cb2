// A temporary television for one test: its own device root, provisioned factory-fresh.
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

class TestDevice {
  public:
    // Makes a temporary root, points TV_DEVICE_ROOT at it and provisions it. With a
    // `rootLength`, the root's path is that long (a deep test folder).
    explicit TestDevice(size_t rootLength = 0);
    // Removes the root (unless TV_KEEP_TEST_ROOT=1) and restores TV_DEVICE_ROOT.
    ~TestDevice();

    const std::string& Root() const { return m_root; }
    std::string Path(const std::string& relative) const { return m_root + "/" + relative; }

    // Whole file, or "" when absent; Exists tells them apart.
    std::string Read(const std::string& relative) const { return ReadFile(Path(relative)); }
    static std::string ReadFile(const std::string& path);
    bool Exists(const std::string& relative) const;
    void Write(const std::string& relative, const std::string& content) const;
    void Remove(const std::string& relative) const;
    // Names in the directory, "" for the root itself; none when it cannot be read.
    std::set<std::string> Names(const std::string& relative) const;

    // Settings store through its files ("s:VALUE" / "i:N"), without notifying anyone.
    std::string Key(const std::string& key) const { return Read("kdb/" + key); }

    // The platform log, and its lines that contain `text`.
    std::string Log() const { return Read("log/dlog.log"); }
    bool LogHas(const std::string& text) const;
    int LogCount(const std::string& text) const;
    // Index of the first log line containing `text`, or -1.
    int LogLineOf(const std::string& text) const;

    // Parsed lines of log/NAME (e.g. "launch.jsonl"), and those whose `field` holds `value`.
    std::vector<Json::Value> Journal(const std::string& name) const;
    std::vector<Json::Value> Entries(const std::string& name, const std::string& field,
                                     const Json::Value& value) const;
    // The extra data of every launch request to `appId` (see ExtraOf), one launch a line.
    std::string Launches(const std::string& appId) const;

    // Runs `command` through /bin/sh with TV_DEVICE_ROOT set; returns the exit status and
    // fills *output with standard output and standard error.
    int Shell(const std::string& command, std::string* output = nullptr) const;
    // tvctl ARGS (already shell-quoted as needed).
    int Tvctl(const std::string& args, std::string* output = nullptr) const;

    // Runs the main loop until everything queued for this process has been handled, and what that
    // set off in turn. A marker key change, and a marker message when this process serves its
    // application id, come back only after whatever was queued before them; rounds repeat until
    // one leaves the log and the journals as they were. False when that never happens.
    bool Settle(bool serving = false) const;

  private:
    std::string m_tempDir;
    std::string m_root;
    std::string m_previousRoot;
    bool m_hadPreviousRoot = false;
};

// Parses TEXT as one JSON value; false when it is not one.
bool ParseJson(const std::string& text, Json::Value* value);

// "key=value;..." of a journal entry's extra data, in the order they were added.
std::string ExtraOf(const Json::Value& entry);

// Names each row of a parameterized table by its `name` member, the same in every build.
struct RowName {
    template <typename Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
        return info.param.name;
    }
};

// Iterates the default GLib main context until `done` holds or `timeoutMs` passes.
bool RunLoopUntil(const std::function<bool()>& done, int timeoutMs = 3000);
// Checks `done` every 10 ms, without iterating any main context, until it holds or `timeoutMs`
// passes: for waiting on other processes (the service binary, tvctl).
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 8000);
// Ends a forked child at once (_exit), with its coverage counts written in a coverage build.
[[noreturn]] void ExitChild(int status);
// Runs `body` in a forked child that ends with its result, killed by SIGALRM after
// `alarmSeconds` (0: never); the child's wait status.
int StatusOfChild(const std::function<int()>& body, unsigned alarmSeconds = 0);
