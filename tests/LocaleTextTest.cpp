// Localized texts: which language file a menu language reads, and when it is read again.
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

std::string LanguageFile(const std::string& name) {
    return FileUtil::DevicePath(LANGUAGE_DIR + name);
}

class LocaleTextTest : public ::testing::Test {
  protected:
    void TearDown() override { Singleton<LocaleTextParser>::DestoryInstance(); }

    // Lines that name the file read; the failure line names it too, but not right after "> ".
    int Reads(const std::string& name) const { return device.LogCount("> " + LanguageFile(name)); }

    TestDevice device;
};

TEST_F(LocaleTextTest, MenuLanguageChoosesTheFile) {
    struct Case {
        const char* language;
        const char* file;
        int reads;
        const char* home;
    };
    const Case cases[] = {
        {"en_US.UTF-8", "en_US.json", 1, "Home"},
        {"ko_KR", "ko_KR.json", 1, "홈"},
        {"de_DE.UTF-8", "de_DE.json", 1, "Startseite"},
        {"fr_FR.UTF-8", "fr_FR.json", 1, "Accueil"},
        {"es_ES.UTF-8", "es_ES.json", 1, "Inicio"},
        {"uz_UZ.UTF-8", "uz_UZ@cyrillic.json", 1, "Бош саҳифа"},
        {"uz_UZ@latin", "uz_UZ@latin.json", 1, ""},  // not shipped
        {"", ".json", 0, ""},                        // no language, no file
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.language);
        Singleton<LocaleTextParser>::DestoryInstance();
        vconf_set_str(keys::MENU_LANGUAGE, c.language);
        int before = Reads(c.file);

        EXPECT_EQ(c.home, LocaleTextUtil::GetLocalizedText(HOME_ID));
        EXPECT_EQ(before + c.reads, Reads(c.file));
    }
}

TEST_F(LocaleTextTest, FileIsReadOncePerLanguageAndAMissingOneOnEveryLookup) {
    EXPECT_EQ("Home", LocaleTextUtil::GetLocalizedText(HOME_ID));
    EXPECT_EQ("Details", LocaleTextUtil::GetLocalizedText("COM_SID_DETAILS"));
    EXPECT_EQ(1, Reads("en_US.json"));

    int changes = device.LogCount("Changed Language");
    vconf_set_str(keys::MENU_LANGUAGE, "it_IT.UTF-8");
    ASSERT_TRUE(RunLoopUntil([&] { return device.LogCount("Changed Language") > changes; }));
    EXPECT_EQ("", LocaleTextUtil::GetLocalizedText(HOME_ID));
    EXPECT_EQ("", LocaleTextUtil::GetLocalizedText(HOME_ID));
    EXPECT_EQ(2, Reads("it_IT.json"));

    device.Write("fs" + std::string(LANGUAGE_DIR) + "it_IT.json",
                 R"({"COM_SID_HOME_M_MAIN": "Pagina iniziale"})");
    EXPECT_EQ("Pagina iniziale", LocaleTextUtil::GetLocalizedText(HOME_ID));
}

TEST(ReplaceSubjectTextTest, ReplacesOnlyTheFirstOccurrence) {
    // "result:text after"
    auto replace = [](std::string text, const std::string& subject) {
        bool result = LocaleTextUtil::ReplaceSubjectText(text, subject, "Home");
        return std::to_string(result) + ":" + text;
    };
    EXPECT_EQ("1:Home and <<A>>", replace("<<A>> and <<A>>", "<<A>>"));
    EXPECT_EQ("1:no placeholder", replace("no placeholder", "<<A>>"));
    EXPECT_EQ("0:", replace("", "<<A>>"));
    EXPECT_EQ("0:text <<A>>", replace("text <<A>>", ""));
}

}  // namespace
