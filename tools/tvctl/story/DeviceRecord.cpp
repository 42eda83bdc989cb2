#include "DeviceRecord.h"

#include <cstdlib>

#include "ConsoleUtil.h"
#include "HostCore.h"

namespace tvctl {
namespace story {

const char* const JOURNALS[] = {"launch.jsonl", "notification.jsonl", "store.jsonl", "power.jsonl",
                                nullptr};

bool ParseLogLine(const std::string& text, LogLine* line) {
    // The priority letter sits right after the 23 characters of date and time and a blank.
    const size_t letter = 24;
    size_t open = text.find('(', letter);
    size_t close = text.find("): ", letter);
    if (text.size() < letter + 3 || text[letter + 1] != '/' || open == std::string::npos ||
        close == std::string::npos || open > close)
        return false;
    line->time = text.substr(0, letter - 1);
    line->priority = text[letter];
    line->tag = text.substr(letter + 2, open - letter - 2);
    line->pid = strtol(text.c_str() + open + 1, nullptr, 10);
    std::string rest = text.substr(close + 3);
    size_t arrow = rest.find(" > ");
    line->origin = arrow == std::string::npos ? "" : rest.substr(0, arrow);
    line->message = arrow == std::string::npos ? rest : rest.substr(arrow + 3);
    return true;
}

void DeviceRecord::Read() {
    for (const char* const* journal = JOURNALS; *journal; ++journal) {
        auto& entries = m_entries[*journal];
        ReadNewLines(tvhost::RootPath(std::string("log/") + *journal), &m_offsets[*journal],
                     [&](const std::string& text) {
                         JournalEntry entry;
                         if (tvhost::ParseJson(text, &entry.value) && entry.value.isObject())
                             entries.push_back(entry);
                     });
    }
    ReadNewLines(tvhost::RootPath("log/dlog.log"), &m_offsets["dlog.log"],
                 [&](const std::string& text) {
                     ServiceLine line;
                     if (ParseLogLine(text, &line.line) && line.line.tag == "BRENWICK")
                         m_lines.push_back(line);
                 });
}

bool ExtraValue(const Json::Value& extra, const std::string& key, std::string* value) {
    if (!extra.isArray())
        return false;
    for (const auto& pair : extra) {
        if (pair.isArray() && pair.size() == 2 && pair[0].isString() && pair[1].isString() &&
            pair[0].asString() == key) {
            *value = pair[1].asString();
            return true;
        }
    }
    return false;
}

std::string ExtraText(const Json::Value& extra) {
    std::string text;
    if (!extra.isArray())
        return text;
    for (const auto& pair : extra) {
        if (pair.isArray() && pair.size() == 2 && pair[0].isString() && pair[1].isString())
            text += (text.empty() ? "" : " ") + pair[0].asString() + "=" + pair[1].asString();
    }
    return text;
}

std::string PostText(const Json::Value& post, int type) {
    const Json::Value& texts = post["texts"];
    if (!texts.isArray())
        return "";
    for (const auto& text : texts) {
        if (text.isObject() && text["type"].isInt() && text["type"].asInt() == type &&
            text["text"].isString())
            return text["text"].asString();
    }
    return "";
}

}  // namespace story
}  // namespace tvctl
