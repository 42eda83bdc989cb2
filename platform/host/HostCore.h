// Shared core of the host device: the device root, fault rules, journals and the messages
// that reach running applications. Only the host library and tvctl include this.
#pragma once

#include <json/json.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace tvhost {

// The application id under which `tvctl store serve` receives the store service's requests.
constexpr const char* STORE_APP_ID = "tvctl.store";

// TV_DEVICE_ROOT, or ${XDG_STATE_HOME:-$HOME/.local/state}/tvdevice, made absolute (a relative
// root is resolved against the working directory the first time it is seen). "" when there is
// none: TV_DEVICE_ROOT set but empty, or no home to put the default in.
std::string DeviceRoot();
// The same, found again from the environment.
std::string FindDeviceRoot();
// Why DeviceRoot() is "", or "" when there is a root.
std::string DeviceRootProblem();
// DeviceRoot() + "/" + relative; "" when there is no root, so that nothing lands in "/".
std::string RootPath(const std::string& relative);
// The file that marks a directory as a device root made by `tvctl init`: "provisioning" while
// init runs, "provisioned" once it has finished.
constexpr const char* ROOT_MARK = ".tvdevice";
// True when the root has been provisioned completely (tvctl init).
bool DeviceRootExists();
// The whole text as a plain decimal integer within [min, max]: an optional '-' and digits, no
// sign '+', no leading zeros, no white space.
bool ParseDecimal(const std::string& text, long long min, long long max, long long* value);
// Appends one line to log/dlog.log (and standard error, as __dlog_print does) without consulting
// the fault rules: the host's own reports, e.g. a bad line in `faults`.
void HostLog(int prio, const char* tag, const std::string& message);
// A name that is one file directly in its directory: not empty, no '/', no leading '.'.
bool PlainName(const std::string& name);
// A process that exists, even one we may not signal.
bool ProcessAlive(long pid);
// Whether an application may be running: its socket is in run/ (from a listing kept while
// run/ does not change). One that is not listed cannot be reached.
bool AppListening(const std::string& appId);

// This process's application id: set by service_app_main (TV_APP_ID, or the service's id);
// "tvctl" in the console.
std::string SelfAppId();
void SetSelfAppId(const std::string& appId);
// SelfAppId() == "tvctl", asked for on every platform call.
bool SelfIsConsole();

// What other processes change under the root, and this process keeps cached: the fault rules,
// the log files it holds open, the running and the installed applications.
enum class Area { FAULTS, LOG, RUN, APPS };
// A number that differs from the last one given whenever `area` may have changed since, made by
// this process or another, or when the device root is another one. It is exact: a change made
// before the call is seen by it. It costs one ioctl on a watch descriptor, and nothing at all
// inside a ChangeScope that already asked.
unsigned long Generation(Area area);
// For a change this process made itself, so that a ChangeScope sees it too.
void Changed(Area area);

// While this thread handles one event (a ChangeScope) and this process changed nothing, the same
// number, which no other stretch of any thread has: what was found in it holds until it ends. 0
// outside a ChangeScope.
unsigned long UnchangedStretch();

// One event taken from a main loop: the changes made before it came are asked for once, at the
// start, since a change cannot come from another process in the middle of the event's handling
// unless it raced the event anyway. The calls made while it is handled then ask nothing.
class ChangeScope {
  public:
    ChangeScope();
    ~ChangeScope();
    ChangeScope(const ChangeScope&) = delete;
    ChangeScope& operator=(const ChangeScope&) = delete;
};

// Whether DIR/NAME, DIR being the area's directory (log, run, apps), is a regular file
// (`socket` false) or a socket: from a listing of DIR, taken again only after DIR changed.
bool Listed(Area area, const std::string& name, bool socket = false);

// Consults the fault rules. True when a rule for `call` applies to this call, with its result
// in *result when given (0 for "null" rules); one of the rule's TIMES is used up.
bool FaultHit(const char* call, int* result = nullptr);

// The destroy calls: a faulted one still releases the handle, as the caller sees only the
// result and the host must not leak because of a rule. `invalid` is the result for null.
template <typename Handle>
int DestroyHandle(const char* call, Handle* handle, int invalid) {
    int result = 0;
    bool faulted = FaultHit(call, &result);
    if (!handle)
        return faulted ? result : invalid;
    delete handle;
    return result;
}
// Appends the rule "CALL RESULT [TIMES]" (TIMES "" for ever) to `faults` after checking it
// against the table of fault-injectable calls; false with *error naming what is wrong.
bool FaultAdd(const std::string& call, const std::string& result, const std::string& times,
              std::string* error = nullptr);
bool FaultClear();

// Writes a whole file through a temporary file in the same directory and a rename. When the
// temporary cannot be made, errno says why (ENOENT: the directory is missing).
bool WriteFileAtomic(const std::string& path, const std::string& content);
// Every file it reads is a regular file on a local file system, where a read that gives less
// than it asked for has reached the end: that saves the last read, which would give nothing.
bool ReadWholeFile(const std::string& path, std::string* content);
// mkdir -p; what exists already costs one stat.
bool MakeDirs(const std::string& path);

// Compact one-line JSON of a value.
std::string JsonLine(const Json::Value& value);
// Parses JSON text with the reader's default settings. False for text that is not JSON, text
// nested deeper than the reader's limit included (which the reader reports by throwing).
bool ParseJson(const std::string& text, Json::Value* value);

// A JSON string, byte for byte as JsonLine writes it: UTF-8 as it is, control characters
// escaped.
std::string JsonQuoted(const std::string& text);

// A JSON value written out, so that objects keep their members in the order given (JsonCpp's
// own objects sort them). Texts and numbers, the most of every journal line, are written here
// without a Json::Value; the text is the same.
struct JsonText {
    template <typename T>
    JsonText(const T& value) : text(JsonLine(Json::Value(value))) {}
    JsonText(const std::string& value) : text(JsonQuoted(value)) {}
    JsonText(const char* value) : text(value ? JsonQuoted(value) : "null") {}
    JsonText(int value) : text(std::to_string(value)) {}
    JsonText(long long value) : text(std::to_string(value)) {}
    JsonText(bool value) : text(value ? "true" : "false") {}
    // Text that already is JSON.
    static JsonText Raw(std::string json);
    std::string text;

  private:
    JsonText() = default;
};
using JsonMembers = std::vector<std::pair<std::string, JsonText>>;
// {"KEY":VALUE,...} in the order given.
JsonText OrderedObject(const JsonMembers& members);
// [ITEM,...].
JsonText OrderedArray(const std::vector<JsonText>& items);

// One journal entry: members in this order, "ts" (Unix milliseconds) put in front.
using JournalMember = std::pair<const char*, JsonText>;
void JournalAppend(const std::string& name, std::initializer_list<JournalMember> entry);
// log/NAME opened for appending, or -1. log/ is made again only in a provisioned root.
int OpenLogFile(const std::string& name);
// Appends `line` to log/NAME with one write, so that lines of several processes never
// interleave, through a descriptor kept open for as long as nothing moved or removed the file.
void AppendToLog(const std::string& name, const char* line, size_t length);
inline void AppendToLog(const std::string& name, const std::string& line) {
    AppendToLog(name, line.data(), line.size());
}
// [[key, value], ...] from ordered pairs.
Json::Value PairsToJson(const std::vector<std::pair<std::string, std::string>>& pairs);
// The same, written out.
JsonText PairsText(const std::vector<std::pair<std::string, std::string>>& pairs);
long long NowMs();

// Sets up the HTTP client wrapper's library for the whole process and pages in the code every
// transfer runs, so that no transfer in the middle of an update grows the process by the library
// (this build of it may be set up while other threads run). A process that never calls it has it
// done at its first transfer.
void PrepareHttp();

// Messages to running applications: one JSON object per connection to run/APPID.sock, handled
// on that application's main loop by the handler registered for its "kind".
using MessageHandler = std::function<void(const Json::Value& message)>;
void SetMessageHandler(const std::string& kind, MessageHandler handler);
// Hands a message, as it came whole over run/APPID.sock, to the handler of its "kind". One that is
// not a JSON object with a text "kind" is reported in the platform log and dropped.
void DispatchMessage(const std::string& text);
// 0 when delivered, -1 when the application is not running.
int SendToApp(const std::string& appId, const Json::Value& message);
bool AppRunning(const std::string& appId);
// Applications with a live run/APPID.pid.
std::vector<std::string> RunningApps();
// Opens run/APPID.sock and run/APPID.pid on the default main context, so that messages reach
// this process. 0, SERVICE_APP_ERR_ALREADY_RUNNING or another error. Used by service_app_main
// and by tests that stand in for a running application.
// *error, when given, says what went wrong.
int ServeApp(const std::string& appId, std::string* error = nullptr);
void StopServing();

}  // namespace tvhost
