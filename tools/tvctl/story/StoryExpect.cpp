#include "StoryExpect.h"

#include "ConsoleUtil.h"
#include "HostCore.h"
#include "VconfInternal.h"

namespace tvctl {
namespace story {

namespace {

constexpr size_t MAX_FILE_BYTES = 1 << 20;

// The key as `tvctl get` prints it; false when it is not set.
bool KeyText(const std::string& key, std::string* text) {
    tvhost::KeyValue value = tvhost::ReadKey(key);
    if (value.type == 's')
        *text = value.str;
    if (value.type == 'i')
        *text = std::to_string(value.num);
    return value.type == 's' || value.type == 'i';
}

std::string Shown(const std::string& text) {
    return Quote(text).front() == '"' ? Quote(text) : "\"" + text + "\"";
}

bool IsCaller(const Json::Value& entry, const char* caller) {
    return entry["caller"].isString() && entry["caller"].asString() == caller;
}

// Store calls that change what the store does; the questions the service asks it do not count.
bool Changes(const Json::Value& call) {
    std::string name = call["call"].asString();
    return name == "pax_add_recovery_action" || name == "pax_request_priority_update";
}

std::string DescribeEntry(const std::string& journal, const Json::Value& entry) {
    if (journal == "notification.jsonl")
        return "notification " + DescribePost(entry);
    if (journal == "launch.jsonl") {
        std::string text;
        if (ExtraValue(entry["extra"], "type", &text) && text == "toast" &&
            ExtraValue(entry["extra"], "text", &text))
            return "toast " + Shown(text);
        return "launch of " + entry["app_id"].asString() + " " + ExtraText(entry["extra"]);
    }
    if (journal == "store.jsonl")
        return "store call " + entry["call"].asString() + " " + ExtraText(entry["extra"]);
    return "reboot (code " + std::to_string(entry["code"].asInt()) + ")";
}

}  // namespace

std::string DescribePost(const Json::Value& post) {
    std::string text = "#" + std::to_string(post["id"].asInt()) + " " + Shown(PostText(post, 0));
    if (post["buttons"].isArray()) {
        for (const auto& button : post["buttons"])
            text += " [" + PostText(post, button.asInt() + 12) + "]";
    }
    return text;
}

const char* Matcher::Journal(const Expectation& expect) const {
    switch (expect.kind) {
        case ExpectKind::NOTIFICATION:
            return "notification.jsonl";
        case ExpectKind::STORE:
            return "store.jsonl";
        case ExpectKind::REBOOT:
            return "power.jsonl";
        default:
            return "launch.jsonl";
    }
}

bool Matcher::PairsMatch(const Expectation& expect, const Json::Value& extra) const {
    for (const auto& word : expect.pairs) {
        std::string pair = Text(word);
        size_t equals = pair.find('=');
        std::string value;
        if (!ExtraValue(extra, pair.substr(0, equals), &value) || value != pair.substr(equals + 1))
            return false;
    }
    return true;
}

bool Matcher::PostMatches(const Expectation& expect, const Json::Value& post) const {
    if (post["op"].asString() != "post")
        return false;
    if (expect.hasTarget && PostText(post, 0) != Text(expect.target))
        return false;
    if (expect.hasContent && PostText(post, 1) != Text(expect.content))
        return false;
    if (!expect.hasButtons)
        return true;
    const Json::Value& buttons = post["buttons"];
    if (!buttons.isArray() || buttons.size() != expect.buttons.size())
        return false;
    for (Json::ArrayIndex i = 0; i < buttons.size(); ++i) {
        if (!buttons[i].isInt() ||
            PostText(post, buttons[i].asInt() + 12) != Text(expect.buttons[i]))
            return false;
    }
    return true;
}

bool Matcher::EntryMatches(const Expectation& expect, const Json::Value& entry) const {
    std::string text;
    switch (expect.kind) {
        case ExpectKind::NOTIFICATION:
            return PostMatches(expect, entry);
        case ExpectKind::LAUNCH:
            return !IsCaller(entry, "tvctl") && entry["app_id"].asString() == Text(expect.target) &&
                   PairsMatch(expect, entry["extra"]);
        case ExpectKind::TOAST:
            return ExtraValue(entry["extra"], "type", &text) && text == "toast" &&
                   ExtraValue(entry["extra"], "text", &text) && text == Text(expect.target);
        case ExpectKind::STORE:
            return entry["call"].asString() == Text(expect.target) &&
                   PairsMatch(expect, entry["extra"]);
        case ExpectKind::REBOOT:
            return entry["call"].asString() == "reboot" &&
                   (!expect.hasTarget ||
                    std::to_string(entry["code"].asInt()) == Text(expect.target));
        default:
            return false;
    }
}

bool Matcher::Meets(const Expectation& expect) {
    std::string text;
    if (expect.kind == ExpectKind::KEY) {
        bool set = KeyText(Text(expect.target), &text);
        return expect.compare == Compare::ABSENT ? !set : set && text == Text(expect.value);
    }
    if (expect.kind == ExpectKind::FILE) {
        FileRead state =
            ReadRegularFile(tvhost::RootPath(Text(expect.target)), MAX_FILE_BYTES, &text);
        if (expect.compare != Compare::EQUALS)
            return (state == FileRead::ABSENT) == (expect.compare == Compare::ABSENT);
        return state == FileRead::READ && text == Text(expect.value);
    }
    if (expect.kind == ExpectKind::LOG) {
        for (auto& line : m_record->Lines()) {
            if (!line.taken && line.line.message.find(Text(expect.target)) != std::string::npos)
                return line.taken = true;
        }
        return false;
    }
    for (auto& entry : m_record->Entries(Journal(expect))) {
        if (entry.taken || !EntryMatches(expect, entry.value))
            continue;
        entry.taken = true;
        if (expect.kind == ExpectKind::NOTIFICATION) {
            std::string id = std::to_string(entry.value["id"].asInt());
            (*m_variables)["N"] = id;
            if (!expect.as.empty())
                (*m_variables)[expect.as] = id;
        }
        return true;
    }
    return false;
}

std::string Matcher::Describe(const Expectation& expect) const {
    std::string text;
    switch (expect.kind) {
        case ExpectKind::NOTIFICATION:
            text = "a notification";
            if (expect.hasTarget)
                text += " " + Shown(Text(expect.target));
            if (expect.hasContent)
                text += " saying " + Shown(Text(expect.content));
            if (expect.hasButtons) {
                text += " with buttons";
                for (const auto& button : expect.buttons)
                    text += " [" + Text(button) + "]";
            }
            return text;
        case ExpectKind::LAUNCH:
        case ExpectKind::STORE:
            text = expect.kind == ExpectKind::LAUNCH ? "a launch of " : "a store call ";
            text += Text(expect.target);
            for (const auto& pair : expect.pairs)
                text += " " + Text(pair);
            return text;
        case ExpectKind::TOAST:
            return "a toast " + Shown(Text(expect.target));
        case ExpectKind::KEY:
            return Text(expect.target) + (expect.compare == Compare::ABSENT
                                              ? " not set"
                                              : " = " + Shown(Text(expect.value)));
        case ExpectKind::FILE:
            return Text(expect.target) + (expect.compare == Compare::ABSENT ? " absent"
                                          : expect.compare == Compare::PRESENT
                                              ? " present"
                                              : " holding " + Shown(Text(expect.value)));
        case ExpectKind::LOG:
            return "a log line of the service with " + Shown(Text(expect.target));
        case ExpectKind::REBOOT:
            return "a reboot" + (expect.hasTarget ? " with code " + Text(expect.target) : "");
        default:
            return "nothing more";
    }
}

std::string Matcher::Seen(const Expectation& expect) {
    std::string text;
    if (expect.kind == ExpectKind::KEY) {
        if (!KeyText(Text(expect.target), &text))
            return Text(expect.target) + " is not set";
        return Text(expect.target) + " = " + Shown(text);
    }
    if (expect.kind == ExpectKind::FILE) {
        FileRead state =
            ReadRegularFile(tvhost::RootPath(Text(expect.target)), MAX_FILE_BYTES, &text);
        if (state == FileRead::ABSENT)
            return "there is no such file";
        return state == FileRead::READ ? "it holds " + Shown(text)
                                       : "it is not a readable regular file of at most 1 MiB";
    }
    if (expect.kind == ExpectKind::LOG) {
        std::vector<std::string> last;
        for (const auto& line : m_record->Lines()) {
            if (!line.taken && line.line.message.find("story-barrier") == std::string::npos)
                last.push_back(Shown(line.line.message));
        }
        if (last.empty())
            return "no log line of the service that no expectation took";
        for (size_t i = last.size() > 3 ? last.size() - 3 : 0; i < last.size(); ++i)
            text += (text.empty() ? "the last lines: " : ", ") + last[i];
        return text;
    }
    const char* journal = Journal(expect);
    Expectation sameKind;
    sameKind.kind = expect.kind;
    sameKind.target = expect.target;
    sameKind.hasTarget = expect.kind != ExpectKind::NOTIFICATION && expect.hasTarget;
    for (const auto& entry : m_record->Entries(journal)) {
        std::string type;
        bool near = expect.kind == ExpectKind::NOTIFICATION ? PostMatches(sameKind, entry.value)
                    : expect.kind == ExpectKind::TOAST
                        ? ExtraValue(entry.value["extra"], "type", &type) && type == "toast"
                    : expect.kind == ExpectKind::REBOOT ? true
                                                        : EntryMatches(sameKind, entry.value);
        if (!entry.taken && near)
            text += (text.empty() ? "" : "; ") + DescribeEntry(journal, entry.value);
    }
    if (!text.empty())
        return text;
    return expect.kind == ExpectKind::TOAST
               ? "no toast that no expectation took"
               : "no " + Describe(sameKind).substr(2) + " that no expectation took";
}

std::string Matcher::Unexpected() {
    std::string text;
    for (const char* const* journal = JOURNALS; *journal; ++journal) {
        for (const auto& entry : m_record->Entries(*journal)) {
            const Json::Value& value = entry.value;
            bool counts = std::string(*journal) == "launch.jsonl" ? !IsCaller(value, "tvctl")
                          : std::string(*journal) == "notification.jsonl" ? value["op"] == "post"
                          : std::string(*journal) == "store.jsonl"        ? Changes(value)
                                                                          : true;
            if (!entry.taken && counts)
                text += (text.empty() ? "" : "; ") + DescribeEntry(*journal, value);
        }
    }
    return text;
}

}  // namespace story
}  // namespace tvctl
