#include "Narrator.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "HostCore.h"
#include "ServiceNames.h"
#include "VconfInternal.h"

namespace tvctl {

namespace {

// Within one millisecond a user's event comes before what it leads to, so notifications go first.
const char* const JOURNALS[] = {"notification.jsonl", "launch.jsonl", "store.jsonl", "power.jsonl"};
const std::set<std::string> ANSWERS = {"allow_install", "install_later", "deny_install"};
constexpr const char* DATA_DIR = "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/data/";
constexpr const char* TRUSTED_DIR = "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/shared/trusted/";

long FileSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? static_cast<long>(in.tellg()) : 0;
}

// Read through the store's files: the console must not use up fault rules meant for the service.
std::string KeyValue(const char* key) {
    return tvhost::ReadKey(key).str;
}

// Hands each whole line written to `path` since *offset to `onLine` and moves *offset past it;
// a line still being appended is read on the next call.
void ForEachNewLine(const std::string& path, long* offset,
                    const std::function<void(const std::string&)>& onLine) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return;
    in.seekg(*offset);
    std::string line;
    while (std::getline(in, line) && !in.eof()) {
        *offset += static_cast<long>(line.size()) + 1;
        onLine(line);
    }
}

void Print(const std::string& who, const std::string& what) {
    printf("  %-8s %s\n", (who + ":").c_str(), what.c_str());
    fflush(stdout);
}

std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n')
            c = ' ';
    }
    return text;
}

std::string ButtonName(const Json::Value& texts, int button) {
    for (const auto& text : texts) {
        if (text["type"].asInt() == button + 12)
            return text["text"].asString();
    }
    return "button " + std::to_string(button);
}

std::string TextOf(const Json::Value& texts, int type) {
    for (const auto& text : texts) {
        if (text["type"].asInt() == type)
            return OneLine(text["text"].asString());
    }
    return "";
}

// "value" of KEY in the extra-data pairs [[k, v], ...], or "".
std::string ExtraValue(const Json::Value& extra, const std::string& key) {
    for (const auto& pair : extra) {
        if (pair.isArray() && pair.size() == 2 && pair[0].asString() == key) {
            return pair[1].asString();
        }
    }
    return "";
}

}  // namespace

Narrator::Narrator(StoryListener listener) : m_listener(std::move(listener)) {
    for (const char* journal : JOURNALS) {
        m_offsets[journal] = FileSize(tvhost::RootPath(std::string("log/") + journal));
    }
    m_logOffset = FileSize(tvhost::RootPath("log/dlog.log"));
    m_lastStatus = KeyValue(STATUS_KEY);
    m_lastHomeStatus = KeyValue(HOME_STATUS_KEY);
}

void Narrator::Poll() {
    std::vector<std::pair<std::string, std::string>> lines;
    for (const char* journal : JOURNALS) {
        ForEachNewLine(tvhost::RootPath(std::string("log/") + journal), &m_offsets[journal],
                       [&](const std::string& line) { lines.emplace_back(journal, line); });
    }
    TellEntries(lines);
    TellStatusChanges();
    TellVerdicts();
}

void Narrator::TellEntries(const std::vector<std::pair<std::string, std::string>>& lines) {
    struct Entry {
        Json::Int64 ts;
        std::string journal;
        Json::Value value;
    };
    std::vector<Entry> entries;
    for (const auto& [journal, line] : lines) {
        Json::Value entry;
        // A line that is no journal entry (cut short, or written by hand) is passed over.
        if (!tvhost::ParseJson(line, &entry) || !entry.isObject() || !entry["ts"].isInt64())
            continue;
        entries.push_back({entry["ts"].asInt64(), journal, entry});
    }
    // Entries of all journals are told in the order they happened; journals before key changes,
    // so that the press of a button is told before the answer it leads to.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.ts < b.ts; });
    for (const auto& entry : entries) {
        try {
            Tell(entry.journal, entry.value);
        } catch (const Json::Exception&) {
            // A member of another kind than the host writes: the entry is not told.
        }
    }
}

void Narrator::TellStatusChanges() {
    std::string status = KeyValue(STATUS_KEY);
    if (status != m_lastStatus && ANSWERS.count(status))
        Say("service", "answers the store: " + status);
    m_lastStatus = status;
    std::string home = KeyValue(HOME_STATUS_KEY);
    if (home != m_lastHomeStatus)
        Say("service", "home update status is now \"" + home + "\"");
    m_lastHomeStatus = home;
}

void Narrator::Tell(const std::string& journal, const Json::Value& entry) {
    if (journal == "launch.jsonl")
        return TellLaunch(entry);
    if (journal == "notification.jsonl")
        return TellNotification(entry);
    if (journal == "store.jsonl")
        return TellStoreCall(entry);
    TellPower(entry);
}

void Narrator::TellLaunch(const Json::Value& entry) {
    const Json::Value& extra = entry["extra"];
    std::string app = entry["app_id"].asString();
    std::string failed = entry["result"].asInt() == 0 ? "" : " (launch failed)";
    if (app == SERVICE_APP_ID) {
        // The barriers of the story runner are not part of the story.
        if (ExtraValue(extra, "LaunchReason").rfind("story-barrier-", 0) == 0)
            return;
        std::string request;
        for (const auto& pair : extra)
            request += " " + pair[0].asString() + "=" + pair[1].asString();
        return Say(entry["caller"].asString(), "asks the service:" + request);
    }
    if (ExtraValue(extra, "type") == "toast") {
        return Say("tv", "toast \"" + OneLine(ExtraValue(extra, "text")) + "\"" + failed);
    }
    std::string reason = ExtraValue(extra, "LaunchReason");
    if (reason == "LoadingUI")
        return Say("tv", "home update view: loading screen" + failed);
    if (reason == "StopUI") {
        return Say("tv",
                   "home update view: stop screen (" + ExtraValue(extra, "StopUI") + ")" + failed);
    }
    if (reason == "DetailPopup") {
        return Say("tv", "home update view: details of " + ExtraValue(extra, "appId") + " " +
                             ExtraValue(extra, "appVersion") + failed);
    }
    Say("tv", "launch of " + app + (reason.empty() ? "" : " (" + reason + ")") + failed);
}

void Narrator::TellNotification(const Json::Value& entry) {
    if (entry["op"].asString() == "post") {
        const Json::Value& texts = entry["texts"];
        m_notificationTexts[entry["id"].asInt()] = texts;
        std::string buttons;
        for (const auto& button : entry["buttons"]) {
            buttons += " [" + ButtonName(texts, button.asInt()) + "]";
        }
        return Say("tv", "notification #" + std::to_string(entry["id"].asInt()) + " \"" +
                             TextOf(texts, 0) + "\" - " + TextOf(texts, 1) + buttons);
    }
    int event = entry["event"].asInt();
    std::string id = "#" + std::to_string(entry["id"].asInt());
    if (event >= 0 && event <= 2) {
        std::string button = ButtonName(m_notificationTexts[entry["id"].asInt()], event + 1);
        return Say("user", "presses [" + button + "] on notification " + id);
    }
    static const char* hidden[] = {"by the user", "by its time-out", "from outside"};
    if (event >= 100 && event <= 102) {
        return Say("tv", "notification " + id + " hidden " + hidden[event - 100]);
    }
    Say("tv", "notification " + id + " event " + std::to_string(event));
}

void Narrator::TellStoreCall(const Json::Value& entry) {
    std::string call = entry["call"].asString();
    if (call == "pax_add_recovery_action") {
        return Say("service", "tells the store: " + ExtraValue(entry["extra"], "action") + " " +
                                  ExtraValue(entry["extra"], "appid") + " " +
                                  ExtraValue(entry["extra"], "version"));
    }
    if (call == "pax_request_priority_update")
        return Say("service", "asks the store for a priority update");
}

void Narrator::TellPower(const Json::Value& entry) {
    Say("service", "requests a reboot (code " + std::to_string(entry["code"].asInt()) + ")");
}

// The service's own verdict on an update, as it logs it.
void Narrator::TellVerdicts() {
    struct Verdict {
        const char* logged;
        const char* told;
        bool withMessage;
    };
    static const Verdict verdicts[] = {
        {"Major: ", "compares target and installed Home: ", true},
        {"[ERROR] Major and installed version are different",
         "the installed Home is not the target", false},
    };
    ForEachNewLine(tvhost::RootPath("log/dlog.log"), &m_logOffset, [this](const std::string& line) {
        size_t text = line.find(" > ");
        if (line.find("/BRENWICK(") == std::string::npos || text == std::string::npos)
            return;
        std::string message = line.substr(text + 3);
        for (const auto& verdict : verdicts) {
            if (message.compare(0, strlen(verdict.logged), verdict.logged) != 0)
                continue;
            Say("service", std::string(verdict.told) + (verdict.withMessage ? message : ""));
        }
    });
}

void Narrator::Say(const std::string& who, const std::string& what) {
    if (m_listener)
        return m_listener(who, what);
    Print(who, what);
}

void Narrator::Finish() {
    Poll();
    std::string version;
    tvhost::ReadWholeFile(tvhost::RootPath("packages/com.talvoro.tv.zefo.homeversion"), &version);
    version = version.substr(0, version.find('\n'));
    Say("record", "installed Home version " + version);
    for (const char* file : {"request_retry.txt", "user_retry.txt"}) {
        std::string content;
        if (!tvhost::ReadWholeFile(tvhost::RootPath(std::string(DATA_DIR) + file), &content))
            continue;
        std::stringstream lines(content);
        std::string count, maximum, target;
        std::getline(lines, count);
        std::getline(lines, maximum);
        std::getline(lines, target);
        Say("record", std::string(file)
                          .append(": ")
                          .append(count)
                          .append(" of ")
                          .append(maximum)
                          .append(" tries used for ")
                          .append(target));
    }
    std::string abtest;
    bool flagged =
        tvhost::ReadWholeFile(tvhost::RootPath(std::string(TRUSTED_DIR) + "abtest"), &abtest);
    Say("record", flagged ? "A/B-test flag present" : "no A/B-test flag");
}

}  // namespace tvctl
