// Texts shown to the user, looked up by string id in the current menu language.
#pragma once

#include <json/json.h>
#include <vconf.h>

#include <memory>
#include <string>

#include "PlatformRegistration.h"
#include "Singleton.h"

// The string table of the current language. Loaded by the first lookup that finds it empty and
// emptied when the menu language changes; it lives until the process ends.
class LocaleTextParser : public Singleton<LocaleTextParser> {
  public:
    LocaleTextParser();
    ~LocaleTextParser();

    static void m_CBVconfLocaleText(keynode_t* node, void* pUserData);

    Json::Value m_localeTable;

  private:
    std::unique_ptr<PlatformRegistration> m_pLanguageWatch;
};

class LocaleTextUtil {
  public:
    // The text for the id in the current language; "" when there is none.
    static std::string GetLocalizedText(const char* stringId);
    // The current language's table, loaded from its file when empty.
    static const Json::Value& GetLocaleTextParser();
    // Replaces the first occurrence of `subject` in `text`. False for an empty text or subject.
    static bool ReplaceSubjectText(std::string& text, const std::string& subject,
                                   const std::string& replacement);
};
