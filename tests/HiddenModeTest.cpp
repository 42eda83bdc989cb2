// The Home update test mode: its texts, its notification as the host device records it, and the
// hidden key's toggle through the running service. Its failing notification steps are tabled
// with the update notification's.
#include <vconf.h>

#include "ChildProcess.h"
#include "Console.h"
#include "Constants.h"
#include "HiddenMode.h"
#include "HostCore.h"
#include "LocaleTextUtil.h"
#include "NotifyHiddenMode.h"
#include "PlatformKeys.h"
#include "TestDevice.h"

namespace {

const std::string FLAG = "fs" + std::string(DATA_DIR) + "hidden_mode";

std::string ToastExtra(const std::string& text) {
    return "type=toast;text=" + text + ";app_name=" + BRENWICK_APP_ID + ";\n";
}

class HiddenModeTest : public ::testing::Test {
  protected:
    void TearDown() override {
        Singleton<HiddenMode>::DestoryInstance();
        Singleton<LocaleTextParser>::DestoryInstance();
    }
    // The language table starts over with the menu language given.
    std::string Content(const char* language, int type, const char* arg) {
        Singleton<LocaleTextParser>::DestoryInstance();
        vconf_set_str(keys::MENU_LANGUAGE, language);
        return NotifyHiddenMode::m_GetContent(static_cast<HiddenMode::MsgType>(type), arg);
    }

    TestDevice device;
};

TEST_F(HiddenModeTest, ContentOfEveryMessageTypeWithAndWithoutTranslations) {
    struct Case {
        int type;
        const char* arg;
        std::string english;
        std::string untranslated;  // a language without a file: an empty table
    };
    const std::string on = "Home Update Test Mode On", off = "Home Update Test Mode Off";
    const std::string updating = "Home is updating. Please wait until the update is complete.\n5%";
    const std::string updated = "The software has been updated to version 2.0";
    const Case cases[] = {
        {HiddenMode::TEST_MODE_ON, "x", on, on},
        {HiddenMode::TEST_MODE_OFF, "x", off, off},
        {HiddenMode::COLD_BOOT, "", "Please do cold boot. ", "Please do cold boot. "},
        {HiddenMode::UPDATING, "5%", updating, updating},
        {HiddenMode::UPDATE_FAILED, "-5", "Update failed.\n(-5)", "\n(-5)"},
        {HiddenMode::UPDATE_SUCCEEDED, "2.0", updated + ".", updated},
        {6, "x", on, on},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(c.english, Content("en_US.UTF-8", c.type, c.arg));
        EXPECT_EQ(c.untranslated, Content("xx_XX.UTF-8", c.type, c.arg));
    }
    // A table without the Home text: the first placeholder goes, nothing takes its place.
    device.Write("fs" + std::string(LANGUAGE_DIR) + "zz_ZZ.json",
                 R"({"COM_SID_MC_MIX_CDDEC_IS_UPDATING_PLEASE_WAIT_UNTIL_THE_UPDATE_IS_COMPLETE":
                     "<<A>> and <<A>> is updating."})");
    EXPECT_EQ(" and <<A>> is updating.\na", Content("zz_ZZ.UTF-8", HiddenMode::UPDATING, "a"));
}

// Switching off after an update through the service is in EndToEndTest; here, what is shown.
TEST_F(HiddenModeTest, FinishShowsTheResultAndSwitchesOffOnlyWhileOn) {
    HiddenMode* mode = Singleton<HiddenMode>::GetInstance();
    // Off: nothing is shown, and a flag file that appeared meanwhile is left alone.
    device.Write(FLAG, "");
    mode->FinishHiddenMode(HiddenMode::UPDATE_SUCCEEDED, "2.0.0");
    EXPECT_TRUE(device.Exists(FLAG));
    EXPECT_TRUE(device.Journal("notification.jsonl").empty());

    Singleton<HiddenMode>::DestoryInstance();
    mode = Singleton<HiddenMode>::GetInstance();
    ASSERT_TRUE(mode->m_isHiddenMode) << "the flag file says on";
    mode->FinishHiddenMode(HiddenMode::UPDATE_SUCCEEDED, "2.0.0");
    EXPECT_FALSE(device.Exists(FLAG));
    auto posts = device.Journal("notification.jsonl");
    ASSERT_EQ(1u, posts.size());
    EXPECT_EQ(R"([{"key":"TITLE","text":"Home Update Test Mode","type":0},)"
              R"({"key":"CONTENT","text":"The software has been updated to version 2.0.0.",)"
              R"("type":1},{"key":"BUTTON","text":"Close","type":13}])",
              tvhost::JsonLine(posts[0]["texts"]));
    EXPECT_EQ(1, posts[0]["buttons"][0].asInt());
    EXPECT_EQ(5, posts[0]["hide_timeout"].asInt());
    EXPECT_EQ(0x11, posts[0]["applist"].asInt());
    EXPECT_FALSE(posts[0]["event_cb"].asBool()) << "posted without an event callback";
}

TEST_F(HiddenModeTest, HiddenKeyTogglesTheModeAndTheModeSurvivesARestart) {
    ServiceProcess service(device);
    for (bool on : {true, false}) {
        ASSERT_TRUE(service.Start());
        ASSERT_EQ(0, LaunchService(device, "LaunchReason=Hidden_Key"));
        ASSERT_TRUE(service.Settle());
        EXPECT_EQ(on, device.Exists(FLAG));
        ASSERT_EQ(0, service.Stop());
    }
    EXPECT_EQ(ToastExtra("Home Update Test Mode On") + ToastExtra("Home Update Test Mode Off"),
              device.Launches(SYSPOPUP_APP_ID));
    EXPECT_TRUE(device.Entries("launch.jsonl", "app_id", SYSPOPUP_APP_ID)[0]["operation"].isNull());
}

TEST_F(HiddenModeTest, FlagThatCannotBeRemovedKeepsTheModeOn) {
    // A directory in the flag's place refuses removal.
    device.Write(FLAG + "/keep", "");
    HiddenMode* mode = Singleton<HiddenMode>::GetInstance();
    mode->m_DisableHiddenMode();

    EXPECT_TRUE(mode->m_isHiddenMode);
    EXPECT_TRUE(device.Journal("launch.jsonl").empty()) << "no \"Off\" toast";
}

}  // namespace
