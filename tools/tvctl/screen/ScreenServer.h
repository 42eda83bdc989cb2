// `tvctl screen`'s HTTP side: the page and its files from the binary's resources, the news of
// the device root pushed to every open page as server-sent events, and the page's actions run
// as console commands.
#pragma once

#include <libsoup/soup.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "ConsoleRunner.h"
#include "DeviceWatch.h"
#include "ScreenState.h"
#include "ScreenStories.h"

namespace tvctl {

class ScreenServer {
  public:
    ScreenServer();
    ~ScreenServer();
    ScreenServer(const ScreenServer&) = delete;
    ScreenServer& operator=(const ScreenServer&) = delete;

    // Listens on ADDRESS:PORT, a free port when PORT is 0; false with *error when it cannot.
    bool Listen(GInetAddress* address, int port, std::string* error);
    // The page's address, "http://127.0.0.1:PORT/".
    std::string Url() const;

  private:
    static void OnRequest(SoupServer* server, SoupServerMessage* message, const char* path,
                          GHashTable* query, gpointer self);
    static void OnRequestEnded(SoupServer* server, SoupServerMessage* message, gpointer self);
    static gboolean OnStoryEnd(gpointer self);

    void ServeFile(SoupServerMessage* message, const std::string& path);
    void OpenEvents(SoupServerMessage* message);
    void Broadcast(const std::string& event, const Json::Value& data);
    void Act(SoupServerMessage* message, const std::string& action, GHashTable* form);
    void RunCommand(SoupServerMessage* message, const Args& args,
                    const ConsoleRunner::Done& after = nullptr);
    void Play(SoupServerMessage* message, GHashTable* form, bool serve);
    void Await(SoupServerMessage* message);
    void Answer(SoupServerMessage* message, const ConsoleResult& result);
    void Reply(SoupServerMessage* message, guint status, bool ok, const std::string& text);
    void ReplyJson(SoupServerMessage* message, guint status, const Json::Value& reply);

    SoupServer* m_server;
    ScreenState m_state;
    ConsoleRunner m_console;
    ScreenStories m_stories;
    std::unique_ptr<DeviceWatch> m_watch;
    std::vector<SoupServerMessage*> m_pages;  // open event streams
    // Actions whose command still runs, and whether their page still waits for the reply.
    std::map<SoupServerMessage*, bool> m_waiting;
    guint m_storyEnd = 0;
};

}  // namespace tvctl
