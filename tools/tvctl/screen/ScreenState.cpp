#include "ScreenState.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "ConsoleUtil.h"
#include "HostCore.h"
#include "ServiceNames.h"
#include "VconfInternal.h"

namespace tvctl {

namespace {

constexpr const char* VIEW_APP_ID = "com.talvoro.tv.homeupdateview";
constexpr const char* POPUP_APP_ID = "com.talvoro.tv.syspopup";
constexpr const char* FULLSCREEN_KEY = "memory/appfw/current_fullscreen_appid";
constexpr const char* LANGUAGE_KEY = "db/menu_widget/language";
constexpr const char* DATA_DIR = "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/data/";
constexpr const char* TRUSTED_DIR = "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/shared/trusted/";
constexpr const char* LANGUAGE_DIR = "fs/usr/apps/com.talvoro.tv.brenwick/shared/lang/language/";

// Every settings key the service reads, writes or watches.
const char* const SERVICE_KEYS[] = {
    STATUS_KEY,
    HOME_STATUS_KEY,
    "db/home/update_state",
    "db/home/reset_status",
    "memory/kesh/lumaport_reset_state",
    "db/factory/factory_reset_count",
    "db/factory/service_reset_count",
    "db/lumaport/reset_count",
    "db/menu/support/softwareupdate/autoupdate",
    FULLSCREEN_KEY,
    LANGUAGE_KEY,
    "db/dravo/modelid",
    "db/dravo/countrycode",
    "db/dravo/tesselanversion",
};

constexpr size_t STORY_LINES = 400;
constexpr size_t LOG_LINES = 400;
constexpr size_t TOASTS = 5;
constexpr long LOG_BACKLOG_BYTES = 64L * 1024;

std::string ReadFile(const std::string& relative) {
    std::string text;
    tvhost::ReadWholeFile(tvhost::RootPath(relative), &text);
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

// Running as run/APPID.pid says; the console never connects to the service just to look.
bool Running(const std::string& appId) {
    return tvhost::ProcessAlive(strtol(ReadFile("run/" + appId + ".pid").c_str(), nullptr, 10));
}

std::string ExtraValue(const Json::Value& extra, const char* key) {
    for (const auto& pair : extra) {
        if (pair.isArray() && pair.size() == 2 && pair[0].asString() == key)
            return pair[1].asString();
    }
    return "";
}

std::string TextOfType(const Json::Value& texts, int type) {
    for (const auto& text : texts) {
        if (text["type"].asInt() == type)
            return text["text"].asString();
    }
    return "";
}

Json::Value KeyJson(const char* key) {
    tvhost::KeyValue value = tvhost::ReadKey(key);
    if (value.type == 's')
        return value.str;
    if (value.type == 'i')
        return value.num;
    return Json::Value();
}

// A retry file: count, limit and target version, one a line; null when there is none.
Json::Value RetryJson(const char* file) {
    std::string text;
    if (!tvhost::ReadWholeFile(tvhost::RootPath(std::string(DATA_DIR) + file), &text))
        return Json::Value();
    Json::Value retry(Json::arrayValue);
    for (const auto& line : Lines(text))
        retry.append(line);
    return retry;
}

bool Exists(const std::string& relative) {
    struct stat st;
    return lstat(tvhost::RootPath(relative).c_str(), &st) == 0;
}

// "de_DE.UTF-8" names de_DE.json; Uzbek ships only in Cyrillic script, as the service reads it.
std::string LanguageFile(const std::string& language) {
    std::string locale = language.substr(0, language.find('.'));
    if (locale == "uz_UZ")
        locale += "@cyrillic";
    return std::string(LANGUAGE_DIR) + locale + ".json";
}

}  // namespace

ScreenState::ScreenState(Send send) : m_send(std::move(send)) {}

ScreenState::~ScreenState() = default;

void ScreenState::Reset() {
    m_offsets.clear();
    m_notifications.clear();
    m_view = Json::Value();
    m_toasts.clear();
    m_viewClosed = -1;
    m_storeStatus = tvhost::ReadKey(STATUS_KEY).str;
    m_endSeen = m_storeStatus == "priority0_end" ? tvhost::NowMs() : 0;
    // The story goes on from here; what happened before is in the journals and the log.
    m_narrator.reset(
        new Narrator([this](const std::string& who, const std::string& what) { Tell(who, what); }));
    struct stat st;
    long size = stat(tvhost::RootPath("log/dlog.log").c_str(), &st) == 0 ? st.st_size : 0;
    m_offsets["dlog.log"] = std::max(0L, size - LOG_BACKLOG_BYTES);
    m_log.clear();
    m_newLog = Json::Value(Json::arrayValue);
    m_logReset = true;
}

void ScreenState::Refresh() {
    struct stat st;
    bool provisioned =
        tvhost::DeviceRootExists() && stat(tvhost::RootPath("kdb").c_str(), &st) == 0;
    // A root wiped and provisioned again is another television: everything is read anew.
    if (provisioned && (st.st_dev != m_rootDevice || st.st_ino != m_rootInode)) {
        m_rootDevice = st.st_dev;
        m_rootInode = st.st_ino;
        Reset();
    }
    if (!provisioned)
        m_rootInode = 0;
    m_provisioned = provisioned;
    if (provisioned) {
        NoteStoreStatus();
        ReadJournal("launch.jsonl", &ScreenState::TakeLaunch);
        ReadJournal("notification.jsonl", &ScreenState::TakeNotification);
        ReadLog();
        m_narrator->Poll();
    }
    Json::Value state = BuildState();
    if (state != m_lastState) {
        m_lastState = state;
        m_send("state", StateNews());
    }
    if (m_logReset || !m_newLog.empty()) {
        Json::Value news(Json::objectValue);
        news["reset"] = m_logReset;
        news["lines"] = m_newLog;
        m_send("log", news);
        m_logReset = false;
        m_newLog = Json::Value(Json::arrayValue);
    }
}

// The page's clock may differ from the device's: it counts time-outs from "now".
Json::Value ScreenState::StateNews() const {
    Json::Value state = m_lastState;
    state["now"] = static_cast<Json::Int64>(tvhost::NowMs());
    return state;
}

std::vector<std::pair<std::string, Json::Value>> ScreenState::Greeting() const {
    Json::Value story(Json::objectValue);
    story["reset"] = true;
    story["lines"] = Json::Value(Json::arrayValue);
    for (const auto& line : m_story)
        story["lines"].append(line);
    Json::Value log(Json::objectValue);
    log["reset"] = true;
    log["lines"] = Json::Value(Json::arrayValue);
    for (const auto& line : m_log)
        log["lines"].append(line);
    return {{"state", StateNews()}, {"story", story}, {"log", log}};
}

void ScreenState::NoteStoreStatus() {
    std::string status = tvhost::ReadKey(STATUS_KEY).str;
    if (status != m_storeStatus && status == "priority0_end")
        m_endSeen = tvhost::NowMs();
    m_storeStatus = status;
}

void ScreenState::ReadJournal(const std::string& name,
                              void (ScreenState::*take)(const Json::Value&)) {
    ReadNewLines(tvhost::RootPath("log/" + name), &m_offsets[name], [&](const std::string& line) {
        Json::Value entry;
        if (!tvhost::ParseJson(line, &entry) || !entry.isObject())
            return;
        try {
            (this->*take)(entry);
        } catch (const Json::Exception&) {
            // A member of another kind than the host writes: the entry is not shown.
        }
    });
}

void ScreenState::TakeLaunch(const Json::Value& entry) {
    if (entry["result"].asInt() != 0)
        return;  // nothing came on screen
    std::string app = entry["app_id"].asString();
    const Json::Value& extra = entry["extra"];
    if (app == VIEW_APP_ID) {
        m_view = Json::Value(Json::objectValue);
        m_view["ts"] = entry["ts"];
        for (const char* key :
             {"LaunchReason", "StopUI", "PriorityUpdate", "appId", "appVersion", "appDescription"})
            m_view[key] = ExtraValue(extra, key);
    } else if (app == POPUP_APP_ID && ExtraValue(extra, "type") == "toast") {
        Json::Value toast(Json::objectValue);
        toast["ts"] = entry["ts"];
        toast["text"] = ExtraValue(extra, "text");
        m_toasts.push_back(toast);
        if (m_toasts.size() > TOASTS)
            m_toasts.pop_front();
    }
}

void ScreenState::TakeNotification(const Json::Value& entry) {
    int id = entry["id"].asInt();
    if (entry["op"].asString() == "post") {
        Json::Value shown(Json::objectValue);
        const Json::Value& texts = entry["texts"];
        shown["id"] = id;
        shown["ts"] = entry["ts"];
        shown["caller"] = entry["caller"];
        shown["title"] = TextOfType(texts, 0);
        shown["content"] = TextOfType(texts, 1);
        shown["defaultButton"] = entry["default_button"];
        shown["hideTimeout"] = entry["hide_timeout"];
        shown["buttons"] = Json::Value(Json::arrayValue);
        // Button N shows the text of type N + 12.
        for (const auto& index : entry["buttons"]) {
            Json::Value button(Json::objectValue);
            button["index"] = index;
            button["text"] = TextOfType(texts, index.asInt() + 12);
            shown["buttons"].append(button);
        }
        m_notifications[id] = shown;
        return;
    }
    // A pressed button closes the notification on screen, as hiding it does; the host keeps it
    // until its hidden event follows (its time-out, or a hide from the console).
    int event = entry["event"].asInt();
    if ((event >= 0 && event <= 2) || (event >= 100 && event <= 102))
        m_notifications.erase(id);
}

void ScreenState::ReadLog() {
    ReadNewLines(tvhost::RootPath("log/dlog.log"), &m_offsets["dlog.log"],
                 [this](const std::string& line) {
                     m_log.push_back(line);
                     if (m_log.size() > LOG_LINES)
                         m_log.pop_front();
                     m_newLog.append(line);
                 });
}

void ScreenState::Tell(const std::string& who, const std::string& what) {
    Json::Value line(Json::objectValue);
    line["ts"] = static_cast<Json::Int64>(tvhost::NowMs());
    line["who"] = who;
    line["what"] = what;
    m_story.push_back(line);
    if (m_story.size() > STORY_LINES)
        m_story.pop_front();
    Json::Value news(Json::objectValue);
    news["reset"] = false;
    news["lines"].append(line);
    m_send("story", news);
}

void ScreenState::FinishStory() {
    if (!m_narrator || !m_provisioned)
        return;
    m_narrator->Finish();
}

void ScreenState::SetPower(int state) {
    m_power = state;
    Refresh();
}

void ScreenState::CloseView() {
    if (!m_view.isNull())
        m_viewClosed = m_view["ts"].asInt64();
    Refresh();
}

std::vector<std::string> ScreenState::Languages() const {
    std::vector<std::string> languages;
    DIR* dir = opendir(tvhost::RootPath(LANGUAGE_DIR).c_str());
    if (!dir)
        return languages;
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        size_t json = name.rfind(".json");
        if (name[0] != '.' && json != std::string::npos && json + 5 == name.size())
            languages.push_back(name.substr(0, json) + ".UTF-8");
    }
    closedir(dir);
    std::sort(languages.begin(), languages.end());
    return languages;
}

Json::Value ScreenState::BuildState() const {
    Json::Value state(Json::objectValue);
    state["root"] = tvhost::DeviceRoot();
    state["provisioned"] = m_provisioned;
    if (!m_provisioned)
        return state;
    state["screen"] = ScreenJson();
    state["service"] = ServiceJson();
    state["texts"] = Texts();
    state["languages"] = Json::Value(Json::arrayValue);
    for (const auto& language : Languages())
        state["languages"].append(language);
    return state;
}

Json::Value ScreenState::ScreenJson() const {
    Json::Value screen(Json::objectValue);
    screen["power"] = m_power;
    screen["fullscreen"] = KeyJson(FULLSCREEN_KEY);
    // The loading screen stays until the update ends; the others until the user closes them.
    bool viewOpen =
        !m_view.isNull() && m_view["ts"].asInt64() > m_viewClosed &&
        !(m_view["LaunchReason"].asString() == "LoadingUI" && m_endSeen >= m_view["ts"].asInt64());
    screen["view"] = viewOpen ? m_view : Json::Value();
    screen["notifications"] = Json::Value(Json::arrayValue);
    for (const auto& shown : m_notifications)
        screen["notifications"].append(shown.second);
    screen["toasts"] = Json::Value(Json::arrayValue);
    for (const auto& toast : m_toasts)
        screen["toasts"].append(toast);
    return screen;
}

Json::Value ScreenState::ServiceJson() const {
    Json::Value service(Json::objectValue);
    service["running"] = Running(SERVICE_APP_ID);
    service["serving"] = Running(tvhost::STORE_APP_ID);
    service["keys"] = Json::Value(Json::arrayValue);
    for (const char* key : SERVICE_KEYS) {
        Json::Value row(Json::arrayValue);
        row.append(key);
        row.append(KeyJson(key));
        service["keys"].append(row);
    }
    std::vector<std::string> version = Lines(ReadFile("packages/com.talvoro.tv.zefo.homeversion"));
    service["homeVersion"] = version.empty() ? Json::Value() : Json::Value(version[0]);
    service["requestRetry"] = RetryJson("request_retry.txt");
    service["userRetry"] = RetryJson("user_retry.txt");
    service["faults"] = Json::Value(Json::arrayValue);
    for (const auto& rule : Lines(ReadFile("faults")))
        service["faults"].append(rule);
    service["syncStatus"] = ReadFile("store/sync_status");
    service["hiddenMode"] = Exists(std::string(DATA_DIR) + "hidden_mode");
    service["abtest"] = Exists(std::string(TRUSTED_DIR) + "abtest");
    return service;
}

// The service's own texts in the set's menu language, for the screens the view draws.
Json::Value ScreenState::Texts() const {
    Json::Value table;
    std::string text = ReadFile(LanguageFile(tvhost::ReadKey(LANGUAGE_KEY).str));
    if (!tvhost::ParseJson(text, &table) || !table.isObject())
        table = Json::Value(Json::objectValue);
    auto lookup = [&table](const char* id) {
        return table[id].isString() ? table[id].asString() : std::string();
    };
    std::string updating =
        lookup("COM_SID_MC_MIX_CDDEC_IS_UPDATING_PLEASE_WAIT_UNTIL_THE_UPDATE_IS_COMPLETE");
    size_t subject = updating.find("<<A>>");
    if (subject != std::string::npos)
        updating.replace(subject, 5, lookup("COM_SID_HOME_M_MAIN"));
    if (updating.empty())
        updating = "Home is updating. Please wait until the update is complete.";
    Json::Value texts(Json::objectValue);
    texts["updating"] = updating;
    texts["failed"] = lookup("TV_SID_FAILED_UPDATE");
    texts["updateNow"] = lookup("COM_TV_SID_UPDATE_NOW");
    texts["updateLater"] = lookup("COM_UPDATE_LATER");
    texts["details"] = lookup("COM_SID_DETAILS");
    return texts;
}

}  // namespace tvctl
