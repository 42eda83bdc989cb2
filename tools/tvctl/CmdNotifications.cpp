// The notification journal, and the user's reactions to a posted notification.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "Commands.h"
#include "ConsoleUtil.h"
#include "HostCore.h"
#include "JournalPrint.h"
#include "notification.h"

namespace tvctl {
namespace {

const char* const NOTIFICATIONS_USAGE = "notifications [-f]";
const char* const PRESS_USAGE = "press ID BUTTON";
const char* const HIDE_USAGE = "hide ID [HOW: user|timeout|other]";

// notification/ID.json, written by the poster when it posted and removed when it ended.
std::string PosterPath(int id) {
    return tvhost::RootPath("notification/" + std::to_string(id) + ".json");
}

bool ReadPoster(int id, Json::Value* poster) {
    std::string text;
    if (!tvhost::ReadWholeFile(PosterPath(id), &text))
        return false;
    return tvhost::ParseJson(text, poster) && poster->isObject() && (*poster)["caller"].isString();
}

// The event reaches the callback of the process that posted; that process journals it.
int SendEvent(int id, int event) {
    Json::Value poster;
    if (!ReadPoster(id, &poster))
        return Fail(EXIT_FAILED, "no notification " + std::to_string(id));
    // A hidden notification has ended: its record goes at once, so that a later press or hide is
    // refused even before the poster has taken this event (and of two hides at once, one is).
    bool ends = event >= NOTI_EVENT_HIDDEN_BY_USER;
    if (ends && unlink(PosterPath(id).c_str()) != 0)
        return Fail(EXIT_FAILED, "no notification " + std::to_string(id));
    std::string caller = poster["caller"].asString();
    if (!poster["event_cb"].asBool()) {
        printf("notification %d of %s has no event callback: event %d goes nowhere\n", id,
               caller.c_str(), event);
        return EXIT_DONE;
    }
    Json::Value message(Json::objectValue);
    message["kind"] = "notification_event";
    message["id"] = id;
    message["event"] = event;
    // A poster that has ended (even if its application runs again) took its callback with it.
    if (!tvhost::ProcessAlive(poster["pid"].asInt64()) || tvhost::SendToApp(caller, message) != 0)
        return Fail(EXIT_FAILED, "the poster of notification " + std::to_string(id) + ", " +
                                     caller + ", is not running");
    printf("delivered event %d of notification %d to %s\n", event, id, caller.c_str());
    return EXIT_DONE;
}

int Press(const Args& args) {
    int id = 0;
    int button = 0;
    std::string problem = WrongArgs(args, {"ID", "BUTTON"});
    if (problem.empty())
        problem = IntProblem("ID", args[0], 1, INT_MAX, &id);
    if (problem.empty())
        problem = IntProblem("BUTTON", args[1], 1, 3, &button);
    if (!problem.empty())
        return BadUsage(problem);
    if (OnlyChecking())
        return EXIT_DONE;
    return SendEvent(id, NOTI_EVENT_BUTTON_1 + button - 1);
}

int Hide(const Args& args) {
    int id = 0;
    std::string problem = WrongArgs(args, {"ID", "HOW"}, 1);
    if (problem.empty())
        problem = IntProblem("ID", args[0], 1, INT_MAX, &id);
    if (!problem.empty())
        return BadUsage(problem);
    std::string how = args.size() == 2 ? args[1] : "user";
    int event = 0;
    if (how == "user") {
        event = NOTI_EVENT_HIDDEN_BY_USER;
    } else if (how == "timeout") {
        event = NOTI_EVENT_HIDDEN_BY_TIMEOUT;
    } else if (how == "other") {
        event = NOTI_EVENT_HIDDEN_BY_EXTERNAL;
    } else {
        return BadUsage("HOW must be user, timeout or other, got '" + how + "'");
    }
    if (OnlyChecking())
        return EXIT_DONE;
    return SendEvent(id, event);
}

int Notifications(const Args& args) {
    return PrintJournal(args, "notification.jsonl");
}

}  // namespace

TVCTL_COMMAND("notifications", NOTIFICATIONS_USAGE,
              "print the notification journal (-f follows it)", Notifications);
TVCTL_COMMAND("press", PRESS_USAGE,
              "the user presses button 1, 2 or 3 of a notification (events 0, 1, 2)", Press);
TVCTL_COMMAND("hide", HIDE_USAGE,
              "a notification is hidden (events 100, 101, 102; user by default)", Hide);

}  // namespace tvctl
