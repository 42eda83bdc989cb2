// Tells what the television showed and what the service did, as it happens, from the journals
// and the settings store: the story of a played update for a person watching the console.
#pragma once

#include <json/json.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tvctl {

// Hears each line of the story: who did it, and what.
using StoryListener = std::function<void(const std::string& who, const std::string& what)>;

class Narrator {
  public:
    // Starts at the current end of every journal: only what happens from now on is told, on
    // standard output unless a listener is given.
    explicit Narrator(StoryListener listener = nullptr);
    // Prints the lines that arrived since the last call.
    void Poll();
    // Prints what is left, then what the service recorded (home status, counters, flags).
    void Finish();
    // Tells the entries of whole journal lines, each given with its journal's file name
    // ("launch.jsonl"), in the order they happened.
    void TellEntries(const std::vector<std::pair<std::string, std::string>>& lines);

  private:
    void Tell(const std::string& journal, const Json::Value& entry);
    void TellLaunch(const Json::Value& entry);
    void TellNotification(const Json::Value& entry);
    void TellStoreCall(const Json::Value& entry);
    void TellPower(const Json::Value& entry);
    void TellStatusChanges();
    void TellVerdicts();
    void Say(const std::string& who, const std::string& what);

    StoryListener m_listener;
    std::map<std::string, long> m_offsets;
    long m_logOffset = 0;
    std::map<int, Json::Value> m_notificationTexts;
    std::string m_lastStatus;
    std::string m_lastHomeStatus;
};

}  // namespace tvctl
