// The Home update test mode: its texts, its notification as the host device records it, and the
// hidden key's toggle through the running service.
#include <gtest/gtest.h>
#include <vconf.h>

#include <string>
#include <vector>

#include "Constants.h"
#include "FaultCalls.h"
#include "HiddenMode.h"
#include "HostCore.h"
#include "LocaleTextUtil.h"
#include "NotifyHiddenMode.h"
#include "PlatformKeys.h"
#include "ServiceProcess.h"
#include "TestDevice.h"

namespace {

const std::string FLAG = "fs" + std::string(DATA_DIR) + "hidden_mode";

std::string ToastExtra(const std::string& text) {
    return "type=toast;text=" + text + ";app_name=" + BRENWICK_APP_ID + ";\n";
}

// A whole log line's message; "Failed to set notification" also begins longer lines.
bool LogLine(const TestDevice& device, const std::string& message) {
    return device.Log().find("> " + message + "\n") != std::string::npos;
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
    // A table without the Home text: the placeholder goes, nothing takes its place.
    device.Write("fs" + std::string(LANGUAGE_DIR) + "zz_ZZ.json",
                 R"({"COM_SID_MC_MIX_CDDEC_IS_UPDATING_PLEASE_WAIT_UNTIL_THE_UPDATE_IS_COMPLETE":
                     "<<A>> is updating."})");
    EXPECT_EQ(" is updating.\na", Content("zz_ZZ.UTF-8", HiddenMode::UPDATING, "a"));
}

TEST_F(HiddenModeTest, FailingNotificationStepIsLoggedAndTheHandleFreed) {
    struct Case {
        const char* call;  // fails once, after `calls` successful calls
        int calls;
        std::string logged;
        bool setFailure;  // followed by "Failed to set notification"
    };
    const Case cases[] = {
        {"notification_create", 0, "Failed to create notification", false},
        {"notification_set_text", 0, "Failed to set notification title (retVal:-5)", true},
        {"notification_set_text", 1, "Failed to set notification content (retVal:-5)", true},
        {"notification_set_hide_timeout", 0, "Failed to set hide timeout (retVal:-5)", true},
        {"notification_add_button", 0, "Failed to add button (retVal:-5)", false},
        {"notification_set_text", 2, "Failed to set button text (retVal:-5)", false},
        {"notification_set_display_applist", 0, "Failed to set display applist (retVal:-5)", false},
        {"notification_post", 0, "Failed to post notification (retVal:-5)", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        TestDevice rowDevice;
        if (c.calls > 0) {
            ASSERT_TRUE(tvhost::FaultAdd(c.call, "0", std::to_string(c.calls)));
        }
        bool handle = tvhost::FindFaultCall(c.call)->result == tvhost::FaultResult::HANDLE;
        ASSERT_TRUE(tvhost::FaultAdd(c.call, handle ? "null" : "-5", "1"));
        // A faulted free still frees; the rule is used up by the one free expected.
        ASSERT_TRUE(tvhost::FaultAdd("notification_free", "0", "1"));

        NotifyHiddenMode::ShowNotification(HiddenMode::UPDATE_FAILED, "-5");

        EXPECT_TRUE(LogLine(rowDevice, c.logged));
        EXPECT_EQ(c.setFailure, LogLine(rowDevice, "Failed to set notification"));
        bool freed = rowDevice.Read("faults").find("notification_free") == std::string::npos;
        EXPECT_EQ(c.call != std::string("notification_create"), freed);
        EXPECT_TRUE(rowDevice.Journal("notification.jsonl").empty());
    }
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
    std::string texts;
    for (const auto& text : posts[0]["texts"])
        texts += text["type"].asString() + " " + text["key"].asString() + " " +
                 text["text"].asString() + ";";
    EXPECT_EQ(
        "0 TITLE Home Update Test Mode;"
        "1 CONTENT The software has been updated to version 2.0.0.;13 BUTTON Close;",
        texts);
    EXPECT_EQ(1, posts[0]["buttons"][0].asInt());
    EXPECT_EQ(5, posts[0]["hide_timeout"].asInt());
    EXPECT_EQ(0x11, posts[0]["applist"].asInt());
    EXPECT_FALSE(posts[0]["event_cb"].asBool()) << "posted without an event callback";
}

TEST_F(HiddenModeTest, HiddenKeyTogglesTheModeAndTheModeSurvivesARestart) {
    const std::string hiddenKey =
        std::string("launch ") + BRENWICK_APP_ID + " LaunchReason=Hidden_Key";
    ServiceProcess service(device);
    ASSERT_TRUE(service.Start());

    ASSERT_EQ(0, device.Tvctl(hiddenKey));
    ASSERT_TRUE(service.Settle());
    EXPECT_EQ(ToastExtra("Home Update Test Mode On"), device.Launches(SYSPOPUP_APP_ID));
    EXPECT_TRUE(device.Entries("launch.jsonl", "app_id", SYSPOPUP_APP_ID)[0]["operation"].isNull());

    ASSERT_EQ(0, service.Stop());
    ASSERT_TRUE(service.Start());
    ASSERT_EQ(0, device.Tvctl(hiddenKey));
    ASSERT_TRUE(service.Settle());
    EXPECT_FALSE(device.Exists(FLAG));
    EXPECT_EQ(ToastExtra("Home Update Test Mode On") + ToastExtra("Home Update Test Mode Off"),
              device.Launches(SYSPOPUP_APP_ID));

    ASSERT_EQ(0, service.Stop());
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
