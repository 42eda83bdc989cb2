// The screen's stories: those of the stories folder and those a page loads, each run on the
// screen's own device root by `tvctl story run`, to its end or a step at a time, every step's
// result told to the pages as it comes.
#pragma once

#include <json/json.h>

#include <functional>
#include <map>
#include <set>
#include <string>

#include "ConsoleRunner.h"

namespace tvctl {

class ScreenStories {
  public:
    using Send = std::function<void(const std::string& event, const Json::Value& data)>;

    ScreenStories(ConsoleRunner* console, Send send);
    ~ScreenStories();
    ScreenStories(const ScreenStories&) = delete;
    ScreenStories& operator=(const ScreenStories&) = delete;

    // True when `action` is one of the stories' ("stories", "story-load", "story-run",
    // "story-step", "story-stop"), with the HTTP status and the reply to send.
    bool Act(const std::string& action, GHashTable* form, unsigned* status, Json::Value* reply);
    // What a page that just connected needs: the run under way, as far as it went.
    Json::Value Greeting() const { return m_run; }

  private:
    Json::Value List();
    Json::Value Describe(const std::string& path, std::string* problem);
    bool Load(const std::string& name, const std::string& text, Json::Value* reply);
    bool Start(const std::string& path, bool stepByStep, std::string* problem);
    void OnLine(const std::string& line);
    void Tell(const Json::Value& news);

    ConsoleRunner* m_console;
    Send m_send;
    std::string m_folder;           // the stories folder
    std::string m_loaded;           // where loaded stories are kept, made when the first comes
    std::set<std::string> m_known;  // the only files a page may have run
    unsigned m_running = 0;         // the running `story run`, 0 when none
    bool m_stepping = false;
    Json::Value m_run;  // the file, the results so far and the end of the last run
};

}  // namespace tvctl
