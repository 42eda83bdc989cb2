#include "StoryWriter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <set>

#include "ServiceNames.h"
#include "Story.h"

namespace tvctl {
namespace story {

namespace {

constexpr const char* UPDATE_TITLE = "Update your Home Screen";
const std::set<std::string> ANSWERS = {"allow_install", "install_later", "deny_install"};
// The reset counts as ResetManager logs them, with their keys; a fresh set has them at 0.
const std::pair<const char*, const char*> COUNTERS[] = {
    {"cacheFR: ", "db/factory/factory_reset_count"},
    {"cacheSR: ", "db/factory/service_reset_count"},
    {"cacheLPR: ", "db/lumaport/reset_count"},
};

// The service's decisions that a replay must come to again: the unit that logs each, and the
// text its message begins with (or, ANYWHERE, holds); PREFIX expects only that text, as the
// message goes on with a path of the set.
enum Where { START, ANYWHERE, PREFIX };
struct Decision {
    const char* unit;
    const char* text;
    Where where;
};
const Decision DECISIONS[] = {
    {"Retry.cpp", "[Updated] ", START},
    {"Retry.cpp", "[Not Updated] ", START},
    {"Retry.cpp", "[Increase] ", START},
    {"Retry.cpp", "Send app control to PAX for ", START},
    {"Retry.cpp", "] try: ", ANYWHERE},
    {"UpdateManager.cpp", "Major: ", START},
    {"UpdateManager.cpp", "[ERROR] Major and installed version are different", START},
    {"UpdateManager.cpp", "A/B Test finished", ANYWHERE},
    {"UpdateManager.cpp", "is invalid for update", ANYWHERE},
    {"UpdateManager.cpp", "priority home update start", START},
    {"UpdateManager.cpp", "priority home update in progress", START},
    {"UpdateManager.cpp", "priority home update status changes to ", START},
    {"UpdateManager.cpp", "Request Priority Update to PAX", START},
    {"UpdateManager.cpp", "Start priority update", START},
    {"UpdateManager.cpp", "need to reset home priority update status", START},
    {"UpdateManager.cpp", "priority home update status already start", START},
    {"UpdateManager.cpp", "priority biu status is on install", START},
    {"UpdateManager.cpp", "return vconf fail", START},
    {"UpdateStatusMonitor.cpp", "needed space: ", START},
    {"UpdateStatusMonitor.cpp", "needed space is not readable", START},
    {"UpdateStatusMonitor.cpp", "priority_biu_status is cancel_by_timer. Do not set ", START},
    {"UpdateStatusMonitor.cpp", "Not defined value. ", START},
    {"HomeUpdateNotification.cpp", "P0_Downloaded -> CheckNextTime", START},
    {"HiddenMode.cpp", "Fail to remove [", PREFIX},
    {"ResetManager.cpp", "FR: ", START},
    {"ResetManager.cpp", "Skip remove root directory ", PREFIX},
    {"HomeResetManager.cpp", "request home reset mode", START},
    {"HomeResetManager.cpp", "Failed to create file", START},
    {"HomeResetManager.cpp", "Successfully tracked version ", START},
    {"HomeResetManager.cpp", " already tracked", ANYWHERE},
    {"HomeResetManager.cpp", "failed to get package info", START},
    {"HomeResetManager.cpp", "Failed to track home version", START},
    {"TriggerHomeVersion.cpp", "No valid response", START},
    {"TriggerHomeVersion.cpp", "pax_get_major_file_info failed", START},
    {"TriggerHomeVersion.cpp", "response is null or empty", START},
    {"BrenwickMain.cpp", "invalid RequestStatus ", START},
    {"BrenwickMain.cpp", "failed to get LaunchReason", START},
    {"BrenwickMain.cpp", "failed to get RequestStatus", START},
};

bool Starts(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

// "2026-12-05 21:02:04.123" in the local time the log is written in, as Unix milliseconds.
long long Millis(const std::string& time) {
    struct tm tm = {};
    int millis = 0;
    if (sscanf(time.c_str(), "%d-%d-%d %d:%d:%d.%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
               &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &millis) != 7)
        return 0;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    return static_cast<long long>(mktime(&tm)) * 1000 + millis;
}

// In single quotes when it can be: JSON reads best so.
std::string Verbatim(const std::string& text) {
    return text.find('\'') == std::string::npos && text.find('\n') == std::string::npos
               ? "'" + text + "'"
               : Quote(text);
}

struct Item {
    long long ts = 0;
    std::string text;
    int posts = -1;  // a press of notification `posts` needs its expectation before it
};

class Writer {
  public:
    Writer(const std::vector<std::pair<int, LogLine>>& lines, DeviceRecord* journals)
        : m_lines(lines), m_journals(journals) {}
    void Walk();
    std::vector<Item> items;
    std::vector<std::string> gaps;

  private:
    const LogLine& At(size_t i) const { return m_lines[i].second; }
    bool IsInput(size_t i) const;
    size_t Next(size_t from, const std::set<std::string>& units) const;
    // The index of the first line after the current one, before the next input of this
    // session, that `match` accepts; m_lines.size() when none does.
    template <typename Match>
    size_t Ahead(Match match) const;
    void Emit(const std::string& text, int posts = -1);
    void Gap(const std::string& what);
    void Session(const LogLine& line);
    void Take(size_t i);
    void KeyChange(const std::string& value);
    void Answer(const std::string& answer);
    void Request();
    void Event(int event);
    void MajorInfo();
    void InstalledVersion();
    void Counters();
    void Decide(const LogLine& line);

    const std::vector<std::pair<int, LogLine>>& m_lines;
    DeviceRecord* m_journals;
    size_t m_at = 0;
    long m_pid = 0;
    bool m_terminated = false;
    bool m_rebooted = false;
    bool m_answerable = false;  // an input since the last answer could have led to one
    // Between "priority0_downloaded" and the line that caches it: the service may answer itself.
    bool m_handlingDownloaded = false;
    bool m_notificationExpected = false;
    size_t m_events = 0;  // journal events matched to the log's so far
    std::set<size_t> m_requestLines;
    std::set<size_t> m_named;  // the key names that followed their values
    std::multiset<std::string> m_ownAnswers;
    std::multiset<std::string> m_ownHome;
    std::map<std::string, std::string> m_counters = {{"db/factory/factory_reset_count", "0"},
                                                     {"db/factory/service_reset_count", "0"},
                                                     {"db/lumaport/reset_count", "0"}};
    std::string m_major = "(a fresh set has none)";
    std::string m_maxRetry = "3";
    std::string m_installed = "1.0.0";
};

bool Writer::IsInput(size_t i) const {
    const LogLine& line = At(i);
    const std::string& m = line.message;
    return line.pid != m_pid || Starts(m, "changedValue : ") || Starts(m, "AppControlReceived") ||
           Starts(m, "event_type: ") || Starts(m, "power off [") ||
           Starts(m, "key : memory/kesh/lumaport_reset_state");
}

// The next line after `from` of this process from one of `units`, passing over the lines of
// others: the app-detail worker logs from its own thread, between the main loop's lines.
size_t Writer::Next(size_t from, const std::set<std::string>& units) const {
    constexpr size_t LOOK = 64;
    for (size_t i = from + 1; i < m_lines.size() && i <= from + LOOK; ++i) {
        if (At(i).pid == m_pid && units.count(At(i).Unit()))
            return i;
    }
    return m_lines.size();
}

template <typename Match>
size_t Writer::Ahead(Match match) const {
    for (size_t i = m_at + 1; i < m_lines.size() && !IsInput(i); ++i) {
        if (match(At(i)))
            return i;
    }
    return m_lines.size();
}

void Writer::Emit(const std::string& text, int posts) {
    Item item;
    item.ts = m_at < m_lines.size() ? Millis(At(m_at).time) : 0;
    item.text = text;
    item.posts = posts;
    items.push_back(item);
}

void Writer::Gap(const std::string& what) {
    std::string gap = "line " + std::to_string(m_lines[m_at].first) + ": " + what;
    gaps.push_back(gap);
    Emit("# gap: " + gap);
}

// A new process of the service: started again by the story, after the set rebooted or the
// service was stopped. The first one the runner starts.
void Writer::Session(const LogLine& line) {
    bool first = m_pid == 0;
    m_pid = line.pid;
    if (line.Unit() != "Main.cpp" || line.message != "Begin")
        Gap("the start of the service (pid " + std::to_string(line.pid) + ") is missing");
    if (first) {
        size_t hidden = Ahead([](const LogLine& l) { return l.message == "m_isHiddenMode: 1"; });
        size_t before = items.size();
        Counters();
        if (items.size() != before) {
            items.insert(items.begin() + static_cast<long>(before), Item{0, "stop $SERVICE", -1});
            Emit("start");
        }
        if (hidden < m_lines.size()) {
            Emit("# The test mode was on when the log began.");
            Emit("launch $SERVICE LaunchReason=Hidden_Key");
        }
        return;
    }
    if (m_rebooted)
        Emit("boot");
    else if (!m_terminated)
        Emit("stop $SERVICE  # it ended here without its last lines");
    Counters();
    Emit("start");
    m_terminated = m_rebooted = false;
}

// The reset counts the service is about to compare, set first when they moved.
void Writer::Counters() {
    for (const auto& counter : COUNTERS) {
        const char* logged = counter.first;
        const std::string key = counter.second;
        size_t at = Ahead([&](const LogLine& l) { return Starts(l.message, logged); });
        size_t vconf = at < m_lines.size() ? At(at).message.find(", vconf") : std::string::npos;
        if (vconf == std::string::npos)
            continue;
        std::string value = At(at).message.substr(At(at).message.find(": ", vconf) + 2);
        if (m_counters[key] != value)
            Emit(std::string("set -t int ").append(key).append(" ").append(value));
        m_counters[key] = value;
    }
}

void Writer::Take(size_t i) {
    const LogLine& line = At(i);
    const std::string unit = line.Unit();
    const std::string& m = line.message;
    if (unit == "BrenwickMain.cpp" && m == "Terminate BrenwickMain") {
        m_terminated = true;
        if (!m_rebooted)
            Emit("stop $SERVICE");
    } else if (unit == "UpdateStatusMonitor.cpp" && Starts(m, "changedValue : ")) {
        KeyChange(m.substr(15));
    } else if (unit == "UpdateStatusMonitor.cpp" && Starts(m, "keyName : ")) {
        if (!m_named.count(i))
            Gap("'" + m + "' without the value before it");
    } else if (unit == "UpdateStatusMonitor.cpp" && Starts(m, "Set cache ")) {
        m_handlingDownloaded = false;
    } else if (unit == "UpdateStatusMonitor.cpp" && m == "pChangedValue is null") {
        Emit("# A key the service watches was removed here; the log does not say which.");
    } else if (unit == "UpdateStatusMonitor.cpp" && Starts(m, "REQUEST_STATUS ")) {
        Answer(m.substr(15));
    } else if (unit == "HomeResetManager.cpp" && m == "changedValue : start") {
        size_t at = Ahead([](const LogLine& l) {
            return l.origin.find("m_TrackHomeVersion(") != std::string::npos &&
                   l.message.find(' ') == std::string::npos;
        });
        if (at < m_lines.size() && At(at).message != m_installed)
            Emit(std::string("pkg set ") + HOME_PACKAGE + " " +
                 Quote(m_installed = At(at).message));
        Emit("set db/home/reset_status start");
    } else if (unit == "ResetManager.cpp" && Starts(m, "key : memory/kesh/lumaport_reset_state")) {
        Counters();
        Emit("set -t int memory/kesh/lumaport_reset_state " + m.substr(m.rfind(' ') + 1));
    } else if (unit == "BrenwickMain.cpp" && Starts(m, "AppControlReceived => ")) {
        Request();
    } else if (unit == "AppControlUtil.cpp" && !m_requestLines.count(i) &&
               (Starts(m, "Caller App => ") || Starts(m, "Extra Data ["))) {
        Gap("'" + m + "' without the request it belongs to");
    } else if (unit == "HomeUpdateNotification.cpp" && Starts(m, "event_type: ")) {
        Event(atoi(m.c_str() + 12));
    } else if (unit == "UpdateManager.cpp" && Starts(m, "power off [")) {
        Emit("power 1 " + std::to_string(atoi(m.c_str() + 11)));
    } else if (unit == "HomeResetManager.cpp" && m == "reboot for HomeReset") {
        m_rebooted = true;
        if (!m_journals)
            Emit("expect reboot 14");
    } else {
        Decide(line);
    }
}

void Writer::KeyChange(const std::string& value) {
    size_t name = Next(m_at, {"UpdateStatusMonitor.cpp"});
    if (name == m_lines.size() || !Starts(At(name).message, "keyName : ")) {
        Gap("'changedValue : " + value + "' without the key's name after it");
        return;
    }
    m_named.insert(name);
    std::string key = At(name).message.substr(10);
    auto& own = key == STATUS_KEY ? m_ownAnswers : m_ownHome;
    if (key != STATUS_KEY && key != HOME_STATUS_KEY)
        return;
    if (own.count(value)) {
        own.erase(own.find(value));
        return;
    }
    if (key == HOME_STATUS_KEY)
        return Emit(std::string("set ") + HOME_STATUS_KEY + " " + Quote(value));
    if (value.find("priority0_start") != std::string::npos)
        MajorInfo();
    if (value.find("priority0_end") != std::string::npos)
        InstalledVersion();
    if (value.find("priority0_downloaded") != std::string::npos) {
        m_notificationExpected = false;
        m_handlingDownloaded = true;
    }
    Emit(std::string("set ") + STATUS_KEY + " " + Quote(value));
}

// The service answered the store: its own write of the status key follows.
void Writer::Answer(const std::string& answer) {
    if (!ANSWERS.count(answer))
        return;
    if (!m_answerable && !m_handlingDownloaded)
        Gap("the answer " + answer + " without the press, hide or request that gave it");
    m_answerable = false;
    m_ownAnswers.insert(answer);
    Emit(std::string("expect key ") + STATUS_KEY + " = " + answer);
}

// A launch request to the service: its reason and answer, as the service read them.
void Writer::Request() {
    std::string reason;
    std::string status;
    bool read = false;
    bool noReason = false;
    for (size_t i = m_at;
         (i = Next(i, {"BrenwickMain.cpp", "AppControlUtil.cpp"})) < m_lines.size();) {
        const std::string& m = At(i).message;
        if (!Starts(m, "Caller App => ") && !Starts(m, "Extra Data [") &&
            !Starts(m, "failed to get"))
            break;
        m_requestLines.insert(i);
        read = read || Starts(m, "Caller App => ") || Starts(m, "failed to get Caller App");
        if (Starts(m, "Extra Data [LaunchReason] => "))
            reason = m.substr(29);
        if (Starts(m, "Extra Data [RequestStatus] => "))
            status = m.substr(30);
        noReason = noReason || m == "failed to get LaunchReason";
    }
    if (!read || (reason.empty() && !noReason)) {
        Gap("a launch request to the service whose reason is cut off");
        return;
    }
    if (Starts(reason, "story-barrier-"))
        return;
    if (noReason)
        return Emit("launch $SERVICE");
    // Two refusals are not logged but for the toast's text: the store's sync status.
    size_t toast = Ahead(
        [](const LogLine& l) { return Starts(l.message, "app_control_add_extra_data: text, "); });
    std::string refusal = toast < m_lines.size() ? At(toast).message.substr(34) : "";
    if (refusal == "sync status is init or start")
        Emit("store sync-status 1");
    if (refusal == "fail to get apps sync status")
        Emit("fault add pax_get_apps_sync_status -1 1");
    // A status that could not be read, for whatever reason: the read fails again.
    if (refusal == "return vconf fail")
        Emit("fault add vconf_get_str null 1");
    std::string line = "launch $SERVICE " + Quote("LaunchReason=" + reason);
    if (reason == "DetailPopup") {
        m_answerable = true;
        line += status.empty() ? "" : " " + Quote("RequestStatus=" + status);
    }
    Emit(line);
    if (refusal == "sync status is init or start")
        Emit("store sync-status 2");
}

// A press or a hide of the notification.
void Writer::Event(int event) {
    static const char* const hides[] = {"user", "timeout", "other"};
    std::string target = "$N";
    int posts = -1;
    if (m_journals) {
        for (auto& entry : m_journals->Entries("notification.jsonl")) {
            if (entry.taken || entry.value["op"].asString() != "event" ||
                entry.value["event"].asInt() != event)
                continue;
            entry.taken = true;
            posts = entry.value["id"].asInt();
            target = "$n" + std::to_string(posts);
            break;
        }
    } else if (!m_notificationExpected) {
        Emit(std::string("expect notification ") + Quote(UPDATE_TITLE));
    }
    m_notificationExpected = true;
    m_answerable = true;
    if (event >= 0 && event <= 2)
        return Emit("press " + target + " " + std::to_string(event + 1), posts);
    if (event >= 100 && event <= 102)
        return Emit("hide " + target + " " + hides[event - 100], posts);
    Emit("# the notification's event " + std::to_string(event) + " cannot be played");
}

// The store's offer, as the service logged what it read at "priority0_start".
void Writer::MajorInfo() {
    size_t read = Ahead([](const LogLine& l) {
        return l.Unit() == "TriggerHomeVersion.cpp" &&
               l.origin.find("Update(") != std::string::npos &&
               std::count(l.message.begin(), l.message.end(), ',') == 2;
    });
    if (read == m_lines.size())
        return;
    const std::string& m = At(read).message;
    size_t first = m.find(", ");
    size_t second = m.find(", ", first + 2);
    std::string id = m.substr(0, first);
    std::string version = m.substr(first + 2, second - first - 2);
    std::string group = m.substr(second + 2);
    size_t limit = Ahead(
        [](const LogLine& l) { return Starts(l.message, "[Updated] user_retry.txt, max: "); });
    if (limit < m_lines.size())
        m_maxRetry = At(limit).message.substr(31);
    std::string info;
    if (id.empty() && version.empty()) {
        bool missing = Ahead([](const LogLine& l) {
                           return l.message == "pax_get_major_file_info failed";
                       }) < m_lines.size();
        bool empty = Ahead([](const LogLine& l) {
                         return l.message == "response is null or empty";
                     }) < m_lines.size();
        if (missing) {
            Emit("fault add pax_get_major_file_info -1 1  # the store could not say");
            return;
        }
        info = empty ? "" : "[]";
    } else {
        info = "{\"id\":\"" + id + "\",\"version\":\"" + version + "\",\"targetGroupType\":\"" +
               group + "\",\"maxRetryCount\":" + m_maxRetry + "}";
    }
    if (info == m_major)
        return;
    m_major = info;
    Emit("store major-info - <<< " + Verbatim(info));
}

// The Home version the service found installed at the end, set before the store's last step.
void Writer::InstalledVersion() {
    size_t at = Ahead([](const LogLine& l) { return Starts(l.message, "Major: "); });
    if (at == m_lines.size())
        return;
    const std::string& m = At(at).message;
    size_t start = m.find("Installed: ");
    std::string installed = m.substr(start + 11, m.rfind('|') - start - 11);
    if (installed == m_installed)
        return;
    m_installed = installed;
    Emit(installed.empty() ? std::string("pkg rm ") + HOME_PACKAGE
                           : std::string("pkg set ") + HOME_PACKAGE + " " + Quote(installed));
}

void Writer::Decide(const LogLine& line) {
    const std::string unit = line.Unit();
    const std::string& m = line.message;
    if (unit == "UpdateManager.cpp" && Starts(m, "Request Priority Update to PAX"))
        m_ownHome.insert("ready");
    if (unit == "UpdateManager.cpp" && m == "HOME_PRIORITY_UPDATE_STATUS: ready")
        m_ownHome.insert("start");
    for (const auto& decision : DECISIONS) {
        size_t at = m.find(decision.text);
        if (unit != decision.unit || at == std::string::npos ||
            (decision.where != ANYWHERE && at != 0))
            continue;
        Emit("expect log " +
             Quote(decision.where == PREFIX ? m.substr(0, strlen(decision.text)) : m));
        break;
    }
    // The requested update ends, or the set is off: the home status the service writes.
    std::string home = Starts(m, "priority home update status changes to ") ? "done"
                       : m == "need to reset home priority update status"   ? "none"
                                                                            : "";
    if (unit == "UpdateManager.cpp" && !home.empty()) {
        m_ownHome.insert(home);
        Emit(std::string("expect key ") + HOME_STATUS_KEY + " = " + home);
    }
}

void Writer::Walk() {
    for (m_at = 0; m_at < m_lines.size(); ++m_at) {
        if (At(m_at).pid != m_pid)
            Session(At(m_at));
        Take(m_at);
    }
}

// What the journals say the service did, as expectations.
std::vector<Item> JournalItems(DeviceRecord* journals) {
    std::vector<Item> found;
    for (const char* const* journal = JOURNALS; *journal; ++journal) {
        for (const auto& entry : journals->Entries(*journal)) {
            const Json::Value& value = entry.value;
            Item item;
            item.ts = value["ts"].asInt64();
            std::string name = *journal;
            std::string toast;
            if (name == "launch.jsonl" && value["caller"].asString() != "tvctl") {
                if (ExtraValue(value["extra"], "type", &toast) && toast == "toast" &&
                    ExtraValue(value["extra"], "text", &toast)) {
                    item.text = "expect toast " + Quote(toast);
                } else {
                    item.text = "expect launch " + value["app_id"].asString();
                    for (const auto& pair : value["extra"]) {
                        if (pair[0].asString() != "Caller")
                            item.text += " " + Quote(pair[0].asString() + "=" + pair[1].asString());
                    }
                }
            } else if (name == "notification.jsonl" && value["op"].asString() == "post") {
                item.posts = value["id"].asInt();
                item.text = "expect notification " + Quote(PostText(value, 0)) + " text " +
                            Quote(PostText(value, 1)) + " buttons";
                for (const auto& button : value["buttons"])
                    item.text += " " + Quote(PostText(value, button.asInt() + 12));
                item.text += " as n" + std::to_string(item.posts);
            } else if (name == "store.jsonl" &&
                       (value["call"].asString() == "pax_add_recovery_action" ||
                        value["call"].asString() == "pax_request_priority_update")) {
                item.text = "expect store " + value["call"].asString();
                for (const auto& pair : value["extra"])
                    item.text += " " + Quote(pair[0].asString() + "=" + pair[1].asString());
            } else if (name == "power.jsonl") {
                item.text = "expect reboot " + std::to_string(value["code"].asInt());
            }
            if (!item.text.empty())
                found.push_back(item);
        }
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Item& a, const Item& b) { return a.ts < b.ts; });
    return found;
}

// The journal's expectations among the log's steps: each after the steps that came before it,
// a notification before its press.
std::vector<Item> Merge(const std::vector<Item>& steps, std::vector<Item> expected) {
    std::vector<Item> merged;
    std::deque<Item> pending(expected.begin(), expected.end());
    for (const auto& step : steps) {
        while (!pending.empty() && pending.front().ts < step.ts) {
            merged.push_back(pending.front());
            pending.pop_front();
        }
        if (step.posts >= 0) {
            auto post = std::find_if(pending.begin(), pending.end(),
                                     [&](const Item& item) { return item.posts == step.posts; });
            if (post != pending.end()) {
                merged.push_back(*post);
                pending.erase(post);
            }
        }
        merged.push_back(step);
    }
    merged.insert(merged.end(), pending.begin(), pending.end());
    return merged;
}

}  // namespace

WrittenStory WriteStory(const std::vector<std::pair<int, LogLine>>& lines,
                        const std::string& source, DeviceRecord* journals) {
    Writer writer(lines, journals);
    writer.Walk();
    std::vector<Item> steps = writer.items;
    // The runner stops the service after the last step anyway.
    if (!steps.empty() && steps.back().text == "stop $SERVICE")
        steps.pop_back();
    if (journals)
        steps = Merge(steps, JournalItems(journals));
    WrittenStory story;
    story.gaps = writer.gaps;
    story.text = "# Written by tvctl story " + std::string(journals ? "record" : "from-log") +
                 " from " + source +
                 ": what the service got as actions, what it did as expectations.\n"
                 "# The set's files and the settings the service does not log are those of a "
                 "factory-fresh television.\n"
                 "title " +
                 std::string(journals ? "Recorded on " : "From the log ") + source + "\n\n";
    for (const auto& step : steps)
        story.text += step.text + "\n";
    if (journals)
        story.text += "expect nothing more\n";
    return story;
}

}  // namespace story
}  // namespace tvctl
