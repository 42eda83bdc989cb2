// The Home update test mode: its texts, its notification as the host device records it, and the
// hidden key's toggle through the running service.
#include <gtest/gtest.h>
#include <vconf.h>

#include <sstream>
#include <string>
#include <vector>

#include "Constants.h"
#include "HiddenMode.h"
#include "HostCore.h"
#include "LocaleTextUtil.h"
#include "NotifyHiddenMode.h"
#include "PlatformKeys.h"
#include "ServiceProcess.h"
#include "TestDevice.h"

namespace {

const std::string FLAG = "fs" + std::string(DATA_DIR) + "hidden_mode";

// The launch's extra data in order, as "key=value;...".
std::string ExtraOf(const Json::Value& launch) {
    std::string extra;
    for (const auto& pair : launch["extra"])
        extra += pair[0].asString() + "=" + pair[1].asString() + ";";
    return extra;
}

std::string ToastExtra(const std::string& text) {
    return "type=toast;text=" + text + ";app_name=" + BRENWICK_APP_ID + ";";
}

// Toast requests the service sent to the system popup.
std::vector<Json::Value> Toasts(const TestDevice& device) {
    std::vector<Json::Value> toasts;
    for (const auto& launch : device.Journal("launch.jsonl")) {
        if (launch["app_id"].asString() == SYSPOPUP_APP_ID)
            toasts.push_back(launch);
    }
    return toasts;
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
    // Through the device console, to the running service.
    int PressHiddenKey() {
        return device.Tvctl(std::string("launch ") + BRENWICK_APP_ID + " LaunchReason=Hidden_Key");
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

TEST_F(HiddenModeTest, NotificationIsPostedWholeOrItsFailingStepLoggedAndTheHandleFreed) {
    struct Case {
        const char* faults;  // "CALL RESULT TIMES ..."
        std::string logged;  // "" when the notification is posted
        bool setFailure;     // followed by "Failed to set notification"
    };
    const Case cases[] = {
        {"", "", false},
        {"notification_set_delete_timeout -5 1", "", false},  // its result is not looked at
        {"notification_create null 1", "Failed to create notification", false},
        {"notification_set_text -5 1", "Failed to set notification title (retVal:-5)", true},
        {"notification_set_text 0 1 notification_set_text -5 1",
         "Failed to set notification content (retVal:-5)", true},
        {"notification_set_hide_timeout -5 1", "Failed to set hide timeout (retVal:-5)", true},
        {"notification_add_button -5 1", "Failed to add button (retVal:-5)", false},
        {"notification_set_text 0 2 notification_set_text -5 1",
         "Failed to set button text (retVal:-5)", false},
        {"notification_set_display_applist -5 1", "Failed to set display applist (retVal:-5)",
         false},
        {"notification_post -5 1", "Failed to post notification (retVal:-5)", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        TestDevice device;
        // A faulted free still frees; the rule is used up by the one free expected.
        std::istringstream rules(std::string(c.faults) + " notification_free 0 1");
        std::string call, result, times;
        while (rules >> call >> result >> times) {
            ASSERT_TRUE(tvhost::FaultAdd(call, result, times));
        }

        NotifyHiddenMode::ShowNotification(HiddenMode::UPDATE_FAILED, "-5");

        EXPECT_TRUE(c.logged.empty() || LogLine(device, c.logged));
        EXPECT_EQ(c.setFailure, LogLine(device, "Failed to set notification"));
        bool freed = device.Read("faults").find("notification_free") == std::string::npos;
        EXPECT_EQ(c.logged != "Failed to create notification", freed);
        // Nothing runs the main loop for the hide time-out: the journal holds posts only.
        auto posts = device.Journal("notification.jsonl");
        ASSERT_EQ(c.logged.empty() ? 1u : 0u, posts.size());
        for (const Json::Value& post : posts) {
            std::string texts;
            for (const auto& text : post["texts"])
                texts += text["type"].asString() + " " + text["key"].asString() + " " +
                         text["text"].asString() + ";";
            EXPECT_EQ(
                "0 TITLE Home Update Test Mode;1 CONTENT Update failed.\n(-5);13 BUTTON Close;",
                texts);
            EXPECT_EQ(0, post["type"].asInt());
            EXPECT_EQ(1u, post["buttons"].size());
            EXPECT_EQ(1, post["buttons"][0].asInt());
            EXPECT_EQ(5, post["hide_timeout"].asInt());
            EXPECT_EQ(0x11, post["applist"].asInt());
            EXPECT_FALSE(post["event_cb"].asBool()) << "posted without an event callback";
        }
    }
}

TEST_F(HiddenModeTest, FinishShowsTheResultAndSwitchesOffOnlyWhileOn) {
    HiddenMode* mode = Singleton<HiddenMode>::GetInstance();
    ASSERT_FALSE(mode->m_isHiddenMode);
    // Off: nothing is shown, and a flag file that appeared meanwhile is left alone.
    device.Write(FLAG, "");
    mode->FinishHiddenMode(HiddenMode::UPDATE_SUCCEEDED, "2.0.0");
    EXPECT_TRUE(device.Exists(FLAG));
    EXPECT_TRUE(device.Journal("notification.jsonl").empty());

    Singleton<HiddenMode>::DestoryInstance();
    mode = Singleton<HiddenMode>::GetInstance();
    ASSERT_TRUE(mode->m_isHiddenMode) << "the flag file says on";
    mode->FinishHiddenMode(HiddenMode::UPDATE_SUCCEEDED, "2.0.0");
    auto posts = device.Journal("notification.jsonl");
    ASSERT_EQ(1u, posts.size());
    EXPECT_EQ("The software has been updated to version 2.0.0.",
              posts[0]["texts"][1]["text"].asString());
    EXPECT_FALSE(device.Exists(FLAG));
    auto toasts = Toasts(device);
    ASSERT_EQ(1u, toasts.size());
    EXPECT_EQ(ToastExtra("Home Update Test Mode Off"), ExtraOf(toasts[0]));
}

TEST_F(HiddenModeTest, HiddenKeyTogglesTheModeAndTheModeSurvivesARestart) {
    ServiceProcess service(device);
    ASSERT_TRUE(service.Start());

    ASSERT_EQ(0, PressHiddenKey());
    ASSERT_TRUE(RunLoopUntil([&] { return Toasts(device).size() == 1; }));
    EXPECT_TRUE(device.Exists(FLAG));
    EXPECT_TRUE(device.LogHas("Caller App => tvctl"));
    EXPECT_TRUE(device.LogHas("Extra Data [LaunchReason] => Hidden_Key"));
    auto toasts = Toasts(device);
    EXPECT_EQ(ToastExtra("Home Update Test Mode On"), ExtraOf(toasts[0]));
    EXPECT_TRUE(toasts[0]["operation"].isNull());

    ASSERT_EQ(0, service.Stop());
    ASSERT_TRUE(service.Start());
    ASSERT_EQ(0, PressHiddenKey());
    ASSERT_TRUE(RunLoopUntil([&] { return Toasts(device).size() == 2; }));
    EXPECT_FALSE(device.Exists(FLAG));
    EXPECT_EQ(ToastExtra("Home Update Test Mode Off"), ExtraOf(Toasts(device)[1]));

    ASSERT_EQ(0, service.Stop());
}

TEST_F(HiddenModeTest, HiddenKeyKeepsTheModeOnWhileTheFlagCannotBeRemoved) {
    ServiceProcess service(device);
    ASSERT_TRUE(service.Start());
    // A directory in the flag's place: the flag cannot be written, and it refuses removal.
    device.Write(FLAG + "/keep", "");
    ASSERT_EQ(0, PressHiddenKey());
    ASSERT_TRUE(RunLoopUntil([&] { return Toasts(device).size() == 1; })) << "on all the same";
    for (int press = 1; press <= 2; ++press) {
        ASSERT_EQ(0, PressHiddenKey());
        ASSERT_TRUE(RunLoopUntil([&] { return device.LogCount("Fail to remove [") == press; }));
    }
    EXPECT_TRUE(device.Exists(FLAG));
    EXPECT_EQ(1u, Toasts(device).size()) << "neither switched off nor on again";
    ASSERT_EQ(0, service.Stop());
}

}  // namespace
