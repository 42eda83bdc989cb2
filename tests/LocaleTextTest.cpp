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

class LocaleTextTest : public ::testing::Test {
  protected:
    void TearDown() override { Singleton<LocaleTextParser>::DestoryInstance(); }

    // Lines that name the file read; the failure line names it too, but not right after "> ".
    int Reads(const std::string& name) const {
        return device.LogCount("> " + FileUtil::DevicePath(LANGUAGE_DIR + name));
    }

    TestDevice device;
};

TEST_F(LocaleTextTest, MenuLanguageChoosesTheFile) {
    struct Case {
        const char* language;
        const char* file;
        const char* home;
    };
    const Case cases[] = {
        {"en_US.UTF-8", "en_US.json", "Home"},
        {"ko_KR", "ko_KR.json", "홈"},
        {"uz_UZ.UTF-8", "uz_UZ@cyrillic.json", "Бош саҳифа"},
        {"uz_UZ@latin", "uz_UZ@latin.json", ""},  // not shipped
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.language);
        Singleton<LocaleTextParser>::DestoryInstance();
        vconf_set_str(keys::MENU_LANGUAGE, c.language);
        int before = Reads(c.file);

        EXPECT_EQ(c.home, LocaleTextUtil::GetLocalizedText(HOME_ID));
        EXPECT_EQ(before + 1, Reads(c.file));
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
}

}  // namespace
