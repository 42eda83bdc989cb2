#include "LocaleTextUtil.h"

#include <exception>

#include "Constants.h"
#include "EntryGuard.h"
#include "FileUtil.h"
#include "Log.h"
#include "PlatformKeys.h"
#include "VconfUtil.h"

namespace {

// "en_US.UTF-8" -> "en_US"; Uzbek ships only in Cyrillic script, so a bare uz_UZ means that file.
std::string LocaleName(const std::string& language) {
    std::string locale = language.substr(0, language.find('.'));
    if (locale == "uz_UZ")
        locale += "@cyrillic";
    return locale;
}

}  // namespace

LocaleTextParser::LocaleTextParser()
    : m_pLanguageWatch(
          PlatformRegistration::WatchKey(keys::MENU_LANGUAGE, m_CBVconfLocaleText, this)) {}

LocaleTextParser::~LocaleTextParser() = default;

void LocaleTextParser::m_CBVconfLocaleText(keynode_t* node, void* pUserData) try {
    (void)node;
    if (!pUserData) {
        LOGE("pUserData is null");
        return;
    }
    LOGE("Changed Language");
    // The new language's file is read by the next lookup, not here.
    static_cast<LocaleTextParser*>(pUserData)->m_localeTable.clear();
} catch (...) {
    LOG_ESCAPED_EXCEPTION();
}

const Json::Value& LocaleTextUtil::GetLocaleTextParser() {
    Json::Value& table = Singleton<LocaleTextParser>::GetInstance()->m_localeTable;
    if (!table.empty())
        return table;

    std::string language = VconfUtil::GetVconfStr(keys::MENU_LANGUAGE);
    if (language.empty())
        return table;

    std::string path = FileUtil::DevicePath(LANGUAGE_DIR + LocaleName(language) + ".json");
    LOGE("%s", path.c_str());
    // A table left empty by a missing or broken file is tried again by the next lookup.
    if (FileUtil::LoadJson(path, table))
        LOGE("Load SID Successfully");
    return table;
}

std::string LocaleTextUtil::GetLocalizedText(const char* stringId) {
    // An unreadable language key, or a language file that is not an object of strings, means
    // "no text": every caller shows its own default or nothing, and the service goes on.
    try {
        const Json::Value& table = GetLocaleTextParser();
        if (!table.isMember(stringId))
            return "";
        std::string text = table[stringId].asString();
        LOGE("%s", text.c_str());
        return text;
    } catch (const std::exception& e) {
        LOGE("%s", e.what());
        return "";
    }
}

bool LocaleTextUtil::ReplaceSubjectText(std::string& text, const std::string& subject,
                                        const std::string& replacement) {
    if (text.empty())
        return false;
    if (subject.empty())
        return false;
    size_t position = text.find(subject);
    if (position == std::string::npos)
        return true;
    text.replace(position, subject.size(), replacement);
    return true;
}
