// Localized texts: which language file a menu language reads, and when it is read again.
#include <vconf.h>

#include "Constants.h"
#include "FileUtil.h"
#include "LocaleTextUtil.h"
#include "PlatformKeys.h"
#include "TestDevice.h"

namespace {

const char* const HOME_ID = "COM_SID_HOME_M_MAIN";

// A shipped file is read once per language; a missing one is looked for at every lookup.
TEST(LocaleTextTest, MenuLanguageChoosesTheFileReadOnceOrAMissingOneOnEveryLookup) {
    TestDevice device;
    // Lines that name the file read; the failure line names it too, but not right after "> ".
    auto reads = [&](const std::string& name) {
        return device.LogCount("> " + FileUtil::DevicePath(LANGUAGE_DIR + name));
    };
    EXPECT_EQ("Home", LocaleTextUtil::GetLocalizedText(HOME_ID));
    EXPECT_EQ("Details", LocaleTextUtil::GetLocalizedText("COM_SID_DETAILS"));
    EXPECT_EQ(1, reads("en_US.json"));
    const struct {
        const char* language;
        const char* file;
        const char* home;
        int reads;
    } cases[] = {
        {"ko_KR", "ko_KR.json", "홈", 1},
        {"uz_UZ.UTF-8", "uz_UZ@cyrillic.json", "Бош саҳифа", 1},
        {"uz_UZ@latin", "uz_UZ@latin.json", "", 2},  // not shipped
        {"", "", "", 0},                             // no language: no file at all
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.language);
        int changes = device.LogCount("Changed Language"), before = reads(c.file);
        vconf_set_str(keys::MENU_LANGUAGE, c.language);
        ASSERT_TRUE(RunLoopUntil([&] { return device.LogCount("Changed Language") > changes; }));
        EXPECT_EQ(c.home, LocaleTextUtil::GetLocalizedText(HOME_ID));
        EXPECT_EQ(c.home, LocaleTextUtil::GetLocalizedText(HOME_ID));
        EXPECT_EQ(before + c.reads, reads(c.file));
    }
    Singleton<LocaleTextParser>::DestoryInstance();
}

TEST(LocaleTextTest, ReplaceSubjectTextFillsTheFirstPlaceholderOnly) {
    const struct {
        const char* text;
        const char* subject;
        bool result;
        const char* after;
    } rows[] = {
        {"<<A>> and <<A>>", "<<A>>", true, "2.0 and <<A>>"},
        {"no placeholder", "<<A>>", true, "no placeholder"},
        {"", "<<A>>", false, ""},
        {"<<A>>", "", false, "<<A>>"},
    };
    for (const auto& row : rows) {
        std::string text = row.text;
        EXPECT_EQ(row.result, LocaleTextUtil::ReplaceSubjectText(text, row.subject, "2.0"));
        EXPECT_EQ(row.after, text);
    }
}

}  // namespace
