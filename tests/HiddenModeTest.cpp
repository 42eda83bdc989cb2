// The Home update test mode: its texts, its toast and notification as the host device records
// them, and the hidden key's toggle through the running service.
#include <app_control.h>
#include <gtest/gtest.h>
#include <vconf.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "Constants.h"
#include "FileUtil.h"
#include "HiddenMode.h"
#include "HostCore.h"
#include "LocaleTextUtil.h"
#include "NotifyHiddenMode.h"
#include "PlatformKeys.h"
#include "ServiceProcess.h"
#include "TestDevice.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

const std::string FLAG = "fs" + std::string(DATA_DIR) + "hidden_mode";
const std::string UPDATING_DEFAULT = "Home is updating. Please wait until the update is complete.";

Pairs ExtraOf(const Json::Value& launch) {
    Pairs pairs;
    for (const auto& pair : launch["extra"])
        pairs.emplace_back(pair[0].asString(), pair[1].asString());
    return pairs;
}

Pairs ToastExtra(const std::string& text) {
    return {{"type", "toast"}, {"text", text}, {"app_name", BRENWICK_APP_ID}};
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

std::vector<Json::Value> Posts(const TestDevice& device) {
    std::vector<Json::Value> posts;
    for (const auto& entry : device.Journal("notification.jsonl")) {
        if (entry["op"].asString() == "post")
            posts.push_back(entry);
    }
    return posts;
}

std::string TextOf(const Json::Value& post, int type) {
    for (const auto& text : post["texts"]) {
        if (text["type"].asInt() == type)
            return text["text"].asString();
    }
    return "<none>";
}

void AddFault(const std::string& rule) {
    std::istringstream parts(rule);
    std::string call, result, times;
    parts >> call >> result >> times;
    ASSERT_TRUE(tvhost::FaultAdd(call, result, times)) << rule;
}

// A log line that ends with `text` (others may merely begin with it).
bool LogLineEndsWith(const TestDevice& device, const std::string& text) {
    std::istringstream lines(device.Log());
    std::string line;
    while (std::getline(lines, line)) {
        if (line.size() >= text.size() &&
            line.compare(line.size() - text.size(), text.size(), text) == 0)
            return true;
    }
    return false;
}

class HiddenModeTest : public ::testing::Test {
  protected:
    void TearDown() override {
        Singleton<HiddenMode>::DestoryInstance();
        Singleton<LocaleTextParser>::DestoryInstance();
    }
    // The language table starts over with the menu language given.
    void UseLanguage(const char* language) {
        Singleton<LocaleTextParser>::DestoryInstance();
        vconf_set_str(keys::MENU_LANGUAGE, language);
    }

    TestDevice device;
};

TEST_F(HiddenModeTest, ContentOfEveryMessageType) {
    struct Case {
        const char* language;  // xx_XX has no file: the table stays empty
        int type;
        const char* arg;
        std::string content;
    };
    const Case cases[] = {
        {"en_US.UTF-8", HiddenMode::TEST_MODE_ON, "x", "Home Update Test Mode On"},
        {"en_US.UTF-8", HiddenMode::TEST_MODE_OFF, "x", "Home Update Test Mode Off"},
        {"en_US.UTF-8", HiddenMode::COLD_BOOT, "", "Please do cold boot. "},
        {"en_US.UTF-8", HiddenMode::COLD_BOOT, "now", "Please do cold boot. now"},
        {"en_US.UTF-8", HiddenMode::UPDATING, "50%",
         "Home is updating. Please wait until the "
         "update is complete.\n50%"},
        {"en_US.UTF-8", HiddenMode::UPDATE_FAILED, "-5", "Update failed.\n(-5)"},
        {"en_US.UTF-8", HiddenMode::UPDATE_SUCCEEDED, "2.0.0",
         "The software has been updated to version 2.0.0."},
        {"en_US.UTF-8", 6, "x", "Home Update Test Mode On"},
        {"en_US.UTF-8", -1, "x", "Home Update Test Mode On"},
        {"ko_KR.UTF-8", HiddenMode::UPDATING, "",
         "홈 업데이트 중입니다. 업데이트가 완료될 때까지 기다려 주세요.\n"},
        {"xx_XX.UTF-8", HiddenMode::UPDATING, "a", UPDATING_DEFAULT + "\na"},
        {"xx_XX.UTF-8", HiddenMode::UPDATE_FAILED, "e", "\n(e)"},
        {"xx_XX.UTF-8", HiddenMode::UPDATE_SUCCEEDED, "2.0.0",
         "The software has been updated to version 2.0.0"},
        {"xx_XX.UTF-8", HiddenMode::COLD_BOOT, "", "Please do cold boot. "},
        // A table without the Home text: the placeholder goes, nothing takes its place.
        {"zz_ZZ.UTF-8", HiddenMode::UPDATING, "a", " is updating.\na"},
    };
    device.Write("fs" + std::string(LANGUAGE_DIR) + "zz_ZZ.json",
                 R"({"COM_SID_MC_MIX_CDDEC_IS_UPDATING_PLEASE_WAIT_UNTIL_THE_UPDATE_IS_COMPLETE":
                     "<<A>> is updating."})");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.language) + " type " + std::to_string(c.type));
        UseLanguage(c.language);
        EXPECT_EQ(c.content,
                  NotifyHiddenMode::m_GetContent(static_cast<HiddenMode::MsgType>(c.type), c.arg));
    }
}

TEST_F(HiddenModeTest, NotificationCarriesTitleContentAndCloseButton) {
    NotifyHiddenMode::ShowNotification(HiddenMode::UPDATE_FAILED, "-5");

    auto posts = Posts(device);
    ASSERT_EQ(1u, posts.size());
    const Json::Value& post = posts[0];
    EXPECT_EQ(0, post["type"].asInt());
    EXPECT_EQ("Home Update Test Mode", TextOf(post, NOTI_TEXT_TITLE));
    EXPECT_EQ("Update failed.\n(-5)", TextOf(post, NOTI_TEXT_CONTENT));
    EXPECT_EQ("Close", TextOf(post, NOTI_TEXT_BUTTON_1));
    std::vector<std::string> keys;
    for (const auto& text : post["texts"])
        keys.push_back(text["key"].asString());
    EXPECT_EQ((std::vector<std::string>{"TITLE", "CONTENT", "BUTTON"}), keys);
    EXPECT_EQ(1u, post["buttons"].size());
    EXPECT_EQ(1, post["buttons"][0].asInt());
    EXPECT_EQ(5, post["hide_timeout"].asInt());
    EXPECT_EQ(0, post["delete_timeout"].asInt());
    EXPECT_EQ(0x11, post["applist"].asInt());
    EXPECT_FALSE(post["event_cb"].asBool()) << "posted without an event callback";
}

TEST_F(HiddenModeTest, EachFailingNotificationStepIsLoggedAndTheHandleFreed) {
    struct Case {
        std::vector<std::string> faults;
        std::string logged;
        bool setFailure;  // followed by "Failed to set notification"
        bool posted;
    };
    const Case cases[] = {
        {{"notification_create null"}, "Failed to create notification", false, false},
        {{"notification_set_text -5 1"},
         "Failed to set notification title (retVal:-5)",
         true,
         false},
        {{"notification_set_text 0 1", "notification_set_text -5 1"},
         "Failed to set notification content (retVal:-5)",
         true,
         false},
        {{"notification_set_hide_timeout -5"},
         "Failed to set hide timeout (retVal:-5)",
         true,
         false},
        {{"notification_add_button -5"}, "Failed to add button (retVal:-5)", false, false},
        {{"notification_set_text 0 2", "notification_set_text -5 1"},
         "Failed to set button text (retVal:-5)",
         false,
         false},
        {{"notification_set_display_applist -5"},
         "Failed to set display applist (retVal:-5)",
         false,
         false},
        {{"notification_post -5"}, "Failed to post notification (retVal:-5)", false, false},
        // The delete time-out's result is not looked at.
        {{"notification_set_delete_timeout -5"}, "", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults.front());
        TestDevice device;
        for (const auto& fault : c.faults)
            AddFault(fault);
        // A faulted free still frees; the rule only counts the calls.
        AddFault("notification_free 0 100");

        NotifyHiddenMode::ShowNotification(HiddenMode::UPDATING, "x");

        if (!c.logged.empty()) {
            EXPECT_TRUE(LogLineEndsWith(device, "> " + c.logged));
        }
        EXPECT_EQ(c.setFailure, LogLineEndsWith(device, "> Failed to set notification"));
        EXPECT_EQ(c.posted ? 1u : 0u, Posts(device).size());
        bool created = c.faults.front() != "notification_create null";
        EXPECT_NE(std::string::npos,
                  device.Read("faults").find(created ? "notification_free 0 99\n"
                                                     : "notification_free 0 100\n"))
            << device.Read("faults");
    }
}

TEST_F(HiddenModeTest, ToastIsABareRequestToTheSystemPopup) {
    NotifyHiddenMode::ShowToastPopup(HiddenMode::COLD_BOOT, "now");

    auto toasts = Toasts(device);
    ASSERT_EQ(1u, toasts.size());
    EXPECT_EQ(ToastExtra("Please do cold boot. now"), ExtraOf(toasts[0]));
    EXPECT_TRUE(toasts[0]["operation"].isNull());

    ASSERT_EQ(0, device.Tvctl(std::string("uninstall ") + SYSPOPUP_APP_ID));
    NotifyHiddenMode::ShowToastPopup(HiddenMode::TEST_MODE_ON, "");
    EXPECT_TRUE(
        device.LogHas("Failed to launch syspopup. " + std::to_string(APPCTL_ERR_APP_NOT_FOUND)));
}

TEST_F(HiddenModeTest, MessagesShowOnlyWhileTheModeIsOn) {
    HiddenMode* mode = Singleton<HiddenMode>::GetInstance();
    ASSERT_FALSE(mode->m_isHiddenMode);
    EXPECT_TRUE(device.LogHas("m_isHiddenMode: 0"));

    // Off: nothing is shown, and a flag file that appeared meanwhile is left alone.
    device.Write(FLAG, "");
    mode->ShowMessage(HiddenMode::UPDATING, "x");
    mode->FinishHiddenMode(HiddenMode::UPDATE_SUCCEEDED, "2.0.0");
    EXPECT_TRUE(device.Exists(FLAG));
    EXPECT_TRUE(Posts(device).empty());
    EXPECT_TRUE(Toasts(device).empty());

    Singleton<HiddenMode>::DestoryInstance();
    mode = Singleton<HiddenMode>::GetInstance();
    ASSERT_TRUE(mode->m_isHiddenMode) << "the flag file says on";
    EXPECT_TRUE(device.LogHas("m_isHiddenMode: 1"));

    mode->ShowMessage(HiddenMode::UPDATING, "x");
    ASSERT_EQ(1u, Posts(device).size());
    EXPECT_TRUE(mode->m_isHiddenMode);

    mode->FinishHiddenMode(HiddenMode::UPDATE_SUCCEEDED, "2.0.0");
    auto posts = Posts(device);
    ASSERT_EQ(2u, posts.size());
    EXPECT_EQ("The software has been updated to version 2.0.0.",
              TextOf(posts[1], NOTI_TEXT_CONTENT));
    EXPECT_FALSE(mode->m_isHiddenMode);
    EXPECT_FALSE(device.Exists(FLAG));
    auto toasts = Toasts(device);
    ASSERT_EQ(1u, toasts.size());
    EXPECT_EQ(ToastExtra("Home Update Test Mode Off"), ExtraOf(toasts[0]));
    EXPECT_LE(posts[1]["ts"].asInt64(), toasts[0]["ts"].asInt64());
}

TEST_F(HiddenModeTest, FlagFileTroubleLeavesTheModeAsTheFileAllows) {
    // A flag that vanished under a running mode cannot be removed: the mode stays on, no toast.
    device.Write(FLAG, "");
    HiddenMode* mode = Singleton<HiddenMode>::GetInstance();
    device.Remove(FLAG);
    mode->m_DisableHiddenMode();
    EXPECT_TRUE(mode->m_isHiddenMode);
    EXPECT_TRUE(device.LogHas("Fail to remove [" + device.FsPath(DATA_DIR) + "hidden_mode]"));
    EXPECT_TRUE(Toasts(device).empty());
    Singleton<HiddenMode>::DestoryInstance();

    // A flag that cannot be created still switches the running mode on.
    std::error_code ignored;
    std::filesystem::remove_all(device.FsPath(DATA_DIR), ignored);
    mode = Singleton<HiddenMode>::GetInstance();
    mode->m_EnableHiddenMode();
    EXPECT_TRUE(mode->m_isHiddenMode);
    EXPECT_FALSE(device.Exists(FLAG));
    auto toasts = Toasts(device);
    ASSERT_EQ(1u, toasts.size());
    EXPECT_EQ(ToastExtra("Home Update Test Mode On"), ExtraOf(toasts[0]));
}

// Through the real service and the device console.
class HiddenKeyTest : public ::testing::Test {
  protected:
    int PressHiddenKey(std::string* output = nullptr) {
        return device.Tvctl(std::string("launch ") + BRENWICK_APP_ID + " LaunchReason=Hidden_Key",
                            output);
    }
    bool WaitForLog(const std::string& text, int count) {
        return RunLoopUntil([&] { return device.LogCount(text) >= count; });
    }

    TestDevice device;
};

TEST_F(HiddenKeyTest, TogglesTheModeAndTheModeSurvivesARestart) {
    ServiceProcess service(device);
    ASSERT_TRUE(service.Start());
    // Start() returns once the service is reachable, which may be before the mode was read.
    ASSERT_TRUE(WaitForLog("m_isHiddenMode: 0", 1));

    ASSERT_EQ(0, PressHiddenKey());
    ASSERT_TRUE(RunLoopUntil([&] { return Toasts(device).size() == 1; }));
    EXPECT_TRUE(device.Exists(FLAG));
    EXPECT_TRUE(device.LogHas("Caller App => tvctl"));
    EXPECT_TRUE(device.LogHas("Extra Data [LaunchReason] => Hidden_Key"));
    auto toasts = Toasts(device);
    EXPECT_EQ(BRENWICK_APP_ID, toasts[0]["caller"].asString());
    EXPECT_EQ(ToastExtra("Home Update Test Mode On"), ExtraOf(toasts[0]));
    EXPECT_TRUE(toasts[0]["operation"].isNull());

    ASSERT_EQ(0, service.Stop());
    EXPECT_TRUE(device.Exists(FLAG)) << "terminating leaves the mode alone";
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(WaitForLog("m_isHiddenMode: 1", 1));

    ASSERT_EQ(0, PressHiddenKey());
    ASSERT_TRUE(RunLoopUntil([&] { return Toasts(device).size() == 2; }));
    EXPECT_FALSE(device.Exists(FLAG));
    EXPECT_EQ(ToastExtra("Home Update Test Mode Off"), ExtraOf(Toasts(device)[1]));

    ASSERT_EQ(0, service.Stop());
    std::string output;
    EXPECT_EQ(1, PressHiddenKey(&output));
    EXPECT_NE(std::string::npos, output.find("not running")) << output;
}

TEST_F(HiddenKeyTest, AFlagThatCannotBeRemovedKeepsTheModeOn) {
    ServiceProcess service(device);
    // The first start of a fresh television wipes the data directory; the flag goes in after it.
    ASSERT_TRUE(service.Start());
    ASSERT_EQ(0, service.Stop());
    // A directory in the flag's place: it counts as the flag but refuses removal.
    device.Write(FLAG + "/keep", "");
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(WaitForLog("m_isHiddenMode: 1", 1));

    for (int press = 1; press <= 2; ++press) {
        ASSERT_EQ(0, PressHiddenKey());
        ASSERT_TRUE(WaitForLog("Fail to remove [", press));
    }
    EXPECT_TRUE(device.Exists(FLAG));
    EXPECT_TRUE(Toasts(device).empty()) << "neither switched off nor on again";
    ASSERT_EQ(0, service.Stop());
}

}  // namespace
