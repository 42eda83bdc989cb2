// What the page draws, read from the device root: the television's screen (full-screen app,
// home update view, notifications, toasts), the store's and the service's state, the story the
// narrator tells and the tail of the platform log.
#pragma once

#include <json/json.h>

#include <sys/types.h>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Narrator.h"

namespace tvctl {

class ScreenState {
  public:
    // `send` gets each news for the pages: "state" (the whole state, when it changed), "story"
    // and "log" (the lines added).
    using Send = std::function<void(const std::string& event, const Json::Value& data)>;

    explicit ScreenState(Send send);
    ~ScreenState();

    // Reads what changed in the device root and sends the news.
    void Refresh();
    // What a page that just connected needs: every news as if it had been there all along.
    std::vector<std::pair<std::string, Json::Value>> Greeting() const;

    // The power state the page's power button last set (the device root does not keep one).
    int Power() const { return m_power; }
    void SetPower(int state);
    // The user closes the home update view with the remote.
    void CloseView();
    // The end of an update: the narrator tells what the service recorded, as `--narrate` does.
    void FinishStory();
    // A line of the story that the narrator does not tell: a step of the store the page runs.
    void Tell(const std::string& who, const std::string& what);
    // The menu languages the service has texts for, as "db/menu_widget/language" values.
    std::vector<std::string> Languages() const;

  private:
    void Reset();
    void ReadJournal(const std::string& name, void (ScreenState::*take)(const Json::Value&));
    void TakeLaunch(const Json::Value& entry);
    void TakeNotification(const Json::Value& entry);
    void ReadLog();
    void NoteStoreStatus();
    Json::Value BuildState() const;
    Json::Value StateNews() const;
    Json::Value ScreenJson() const;
    Json::Value ServiceJson() const;
    Json::Value Texts() const;

    Send m_send;
    bool m_provisioned = false;
    dev_t m_rootDevice = 0;
    ino_t m_rootInode = 0;
    std::map<std::string, long> m_offsets;
    std::unique_ptr<Narrator> m_narrator;
    std::map<int, Json::Value> m_notifications;  // shown ones, by id
    Json::Value m_view;                          // the home update view's last launch, or null
    std::deque<Json::Value> m_toasts;
    std::deque<Json::Value> m_story;
    std::deque<std::string> m_log;
    Json::Value m_newLog{Json::arrayValue};
    bool m_logReset = false;
    std::string m_storeStatus;
    long long m_endSeen = 0;      // when the store status last became "priority0_end"
    long long m_viewClosed = -1;  // the launch the user closed
    int m_power = 1;
    Json::Value m_lastState;
};

}  // namespace tvctl
