// Localized texts: which language file a menu language reads, when it is read again, and the
// language files the service ships.
#include <gtest/gtest.h>
#include <vconf.h>

#include <string>

#include "Constants.h"
#include "FileUtil.h"
#include "LocaleTextUtil.h"
#include "PlatformKeys.h"
#include "TestDevice.h"

namespace {

const char* const HOME_ID = "COM_SID_HOME_M_MAIN";

class LocaleTextTest : public ::testing::Test {
  protected:
    void TearDown() override { Singleton<LocaleTextParser>::DestoryInstance(); }

    std::string LanguageFile(const std::string& name) const {
        return FileUtil::DevicePath(LANGUAGE_DIR + name);
    }
    // Switches the menu language and waits until the parser has heard of it.
    void ChangeLanguage(const char* language) {
        int before = device.LogCount("Changed Language");
        vconf_set_str(keys::MENU_LANGUAGE, language);
        ASSERT_TRUE(RunLoopUntil([&] { return device.LogCount("Changed Language") > before; }));
    }

    TestDevice device;
};

TEST_F(LocaleTextTest, MenuLanguageChoosesTheFile) {
    struct Case {
        const char* language;
        const char* file;
        const char* home;  // "" when that file does not exist
    };
    const Case cases[] = {
        {"en_US.UTF-8", "en_US.json", "Home"},
        {"ko_KR", "ko_KR.json", "홈"},
        {"de_DE.UTF-8", "de_DE.json", "Startseite"},
        {"fr_FR.UTF-8", "fr_FR.json", "Accueil"},
        {"es_ES.UTF-8", "es_ES.json", "Inicio"},
        {"uz_UZ.UTF-8", "uz_UZ@cyrillic.json", "Бош саҳифа"},
        {"uz_UZ@latin", "uz_UZ@latin.json", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.language);
        Singleton<LocaleTextParser>::DestoryInstance();
        vconf_set_str(keys::MENU_LANGUAGE, c.language);
        // The line that names the file read, not the failure line that names it too.
        const std::string pathLine = "> " + LanguageFile(c.file);
        int before = device.LogCount(pathLine);

        EXPECT_EQ(c.home, LocaleTextUtil::GetLocalizedText(HOME_ID));
        EXPECT_EQ(before + 1, device.LogCount(pathLine));
    }
}

TEST_F(LocaleTextTest, FileIsReadOncePerLanguage) {
    EXPECT_EQ("Home", LocaleTextUtil::GetLocalizedText(HOME_ID));
    EXPECT_EQ("Details", LocaleTextUtil::GetLocalizedText("COM_SID_DETAILS"));
    EXPECT_EQ(1, device.LogCount("Load SID Successfully"));
    EXPECT_EQ("", LocaleTextUtil::GetLocalizedText("NO_SUCH_ID"));

    ChangeLanguage("de_DE.UTF-8");
    EXPECT_EQ("Details", LocaleTextUtil::GetLocalizedText("COM_SID_DETAILS"));
    EXPECT_EQ("Startseite", LocaleTextUtil::GetLocalizedText(HOME_ID));
    EXPECT_EQ(2, device.LogCount("Load SID Successfully"));
    EXPECT_EQ(1, device.LogCount("> " + LanguageFile("de_DE.json")));
}

TEST_F(LocaleTextTest, MissingOrBrokenFileIsTriedAgainOnEveryLookup) {
    vconf_set_str(keys::MENU_LANGUAGE, "it_IT.UTF-8");
    EXPECT_EQ("", LocaleTextUtil::GetLocalizedText(HOME_ID));
    EXPECT_EQ("", LocaleTextUtil::GetLocalizedText(HOME_ID));
    EXPECT_EQ(2, device.LogCount("Failed to load file " + LanguageFile("it_IT.json")));

    const std::string relative = "fs" + std::string(LANGUAGE_DIR) + "it_IT.json";
    device.Write(relative, "not json");
    EXPECT_EQ("", LocaleTextUtil::GetLocalizedText(HOME_ID));
    EXPECT_TRUE(device.LogHas("Failed to parse json string: "));

    device.Write(relative, R"({"COM_SID_HOME_M_MAIN": "Pagina iniziale"})");
    EXPECT_EQ("Pagina iniziale", LocaleTextUtil::GetLocalizedText(HOME_ID));
}

TEST_F(LocaleTextTest, UnreadableLanguageGivesNoText) {
    ASSERT_EQ(0, vconf_unset(keys::MENU_LANGUAGE));
    EXPECT_EQ("", LocaleTextUtil::GetLocalizedText(HOME_ID));

    // An empty language reads no file at all.
    vconf_set_str(keys::MENU_LANGUAGE, "");
    EXPECT_EQ("", LocaleTextUtil::GetLocalizedText(HOME_ID));
    EXPECT_FALSE(device.LogHas("Failed to load file"));
}

TEST_F(LocaleTextTest, ShippedFilesHoldEveryTextWithItsPlaceholders) {
    const char* const ids[] = {
        "COM_UPDATE_LATER",
        "COM_TV_SID_UPDATE_NOW",
        "COM_SID_DETAILS",
        "COM_UPDATE_LATER_PRODUCT_BE_UPDATED_AUTOMATICALLY_MSG",
        "COM_MIX_SOFTWARE_UPDATED_VERSION",
        "COM_SID_MC_MIX_CDDEC_IS_UPDATING_PLEASE_WAIT_UNTIL_THE_UPDATE_IS_COMPLETE",
        "COM_SID_HOME_M_MAIN",
        "TV_SID_FAILED_UPDATE",
    };
    const char* const locales[] = {"en_US", "ko_KR", "de_DE", "fr_FR", "es_ES", "uz_UZ@cyrillic"};
    for (const char* locale : locales) {
        SCOPED_TRACE(locale);
        Json::Value table;
        ASSERT_TRUE(FileUtil::LoadJson(LanguageFile(std::string(locale) + ".json"), table));
        for (const char* id : ids) {
            ASSERT_TRUE(table[id].isString()) << id;
            EXPECT_FALSE(table[id].asString().empty()) << id;
        }
        EXPECT_NE(std::string::npos,
                  table["COM_MIX_SOFTWARE_UPDATED_VERSION"].asString().find("<<A>>"));
        EXPECT_NE(std::string::npos, table[ids[5]].asString().find("<<A>>"));
    }
}

TEST(ReplaceSubjectTextTest, ReplacesOnlyTheFirstOccurrence) {
    struct Case {
        std::string text;
        std::string subject;
        std::string replacement;
        bool result;
        std::string after;
    };
    const Case cases[] = {
        {"<<A>> and <<A>>", "<<A>>", "Home", true, "Home and <<A>>"},
        {"version <<A>>.", "<<A>>", "", true, "version ."},
        {"no placeholder", "<<A>>", "Home", true, "no placeholder"},
        {"", "<<A>>", "Home", false, ""},
        {"text <<A>>", "", "Home", false, "text <<A>>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text + " / " + c.subject);
        std::string text = c.text;
        EXPECT_EQ(c.result, LocaleTextUtil::ReplaceSubjectText(text, c.subject, c.replacement));
        EXPECT_EQ(c.after, text);
    }
}

}  // namespace
