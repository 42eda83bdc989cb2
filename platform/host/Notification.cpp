// The notification service on the host. A posted notification gets a device-wide id from
// notification/next_id, is journaled whole in log/notification.jsonl, and its poster is
// recorded in notification/ID.json so that `tvctl press/hide` know whom to tell. Events reach
// the poster as "notification_event" messages, or from its own hide timer, and are handed to
// the callback given at posting on the poster's main loop, until the notification is hidden or
// deleted.
#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "HostCore.h"
#include "notification.h"

struct _notification {
    struct Text {
        int type;
        std::string text;
        bool hasKey;
        std::string key;
    };
    int type = NOTI_TYPE_NORMAL;
    std::vector<Text> texts;  // one per text type, in the order first set
    std::vector<int> buttons;
    int defaultButton = 0;
    int hideTimeout = 0;
    int deleteTimeout = 0;
    // Without a choice the notification goes to the tray only.
    int applist = NOTI_DISPLAY_TRAY;
};

namespace {

bool KnownTextType(int type) {
    return type == NOTI_TEXT_TITLE || type == NOTI_TEXT_CONTENT || type == NOTI_TEXT_BUTTON_1 ||
           type == NOTI_TEXT_BUTTON_2 || type == NOTI_TEXT_BUTTON_3;
}

bool KnownButton(int index) {
    return index >= NOTI_BUTTON_1 && index <= NOTI_BUTTON_3;
}

// ---- notifications this process posted with an event callback --------------------------
//
// A notification ends when it is hidden (by the user, its hide time-out or from outside) or when
// its delete time-out passes. A button press does not end it: on a set the notification closes
// after the press and its hidden event follows. Once ended it is forgotten, with its poster
// record: the journal keeps the history, and a poster that runs for years holds only the
// notifications still shown.

// Ids count per device root; a process (a test) may see several roots.
using PostedKey = std::pair<std::string, int>;

struct Posted {
    _notification copy;  // what the callback gets as its handle
    notification_event_cb callback = nullptr;
    void* userData = nullptr;
    guint endTimer = 0;       // the hide or the delete time-out, whichever comes first
    bool timerHides = false;  // the timer hides (event 101) rather than deletes (no event)
};

std::mutex g_postedMutex;
std::map<PostedKey, Posted>& PostedNotifications() {
    static auto* posted = new std::map<PostedKey, Posted>();
    return *posted;
}

bool EndsNotification(int event) {
    return event >= NOTI_EVENT_HIDDEN_BY_USER && event <= NOTI_EVENT_HIDDEN_BY_EXTERNAL;
}

std::string PosterRecordPath(const PostedKey& key) {
    return key.first + "/notification/" + std::to_string(key.second) + ".json";
}

// Caller holds g_postedMutex.
void Forget(std::map<PostedKey, Posted>::iterator found) {
    if (found->second.endTimer)
        g_source_remove(found->second.endTimer);
    unlink(PosterRecordPath(found->first).c_str());
    PostedNotifications().erase(found);
}

// Journals and delivers one event. False when this process has no such notification.
bool DeliverEvent(const PostedKey& key, int event) {
    Posted posted;
    {
        std::lock_guard<std::mutex> lock(g_postedMutex);
        auto found = PostedNotifications().find(key);
        if (found == PostedNotifications().end())
            return false;
        posted = found->second;
        if (EndsNotification(event))
            Forget(found);
    }
    tvhost::JournalAppend("notification.jsonl",
                          {{"op", "event"}, {"id", key.second}, {"event", event}});
    posted.callback(&posted.copy, event, posted.userData);
    return true;
}

gboolean OnEndTimeout(gpointer data) {
    const PostedKey key = *static_cast<PostedKey*>(data);
    {
        std::lock_guard<std::mutex> lock(g_postedMutex);
        auto found = PostedNotifications().find(key);
        if (found == PostedNotifications().end())
            return G_SOURCE_REMOVE;
        found->second.endTimer = 0;  // this source ends with this call
        // Deleted, or shown on a device root this process moved away from (a test): no event.
        if (!found->second.timerHides || key.first != tvhost::DeviceRoot()) {
            Forget(found);
            return G_SOURCE_REMOVE;
        }
    }
    DeliverEvent(key, NOTI_EVENT_HIDDEN_BY_TIMEOUT);
    return G_SOURCE_REMOVE;
}

void DeleteKey(gpointer data) {
    delete static_cast<PostedKey*>(data);
}

void OnEventMessage(const Json::Value& message) {
    if (!message["id"].isInt() || !message["event"].isInt())
        return;
    DeliverEvent({tvhost::DeviceRoot(), message["id"].asInt()}, message["event"].asInt());
}

void RememberPosted(int id, const _notification& noti, notification_event_cb callback,
                    void* userData) {
    PostedKey key{tvhost::DeviceRoot(), id};
    // A hide time-out that comes first hides it; a delete time-out that comes first deletes it.
    bool hides =
        noti.hideTimeout > 0 && (noti.deleteTimeout == 0 || noti.hideTimeout <= noti.deleteTimeout);
    int seconds = hides ? noti.hideTimeout : noti.deleteTimeout;
    guint timer = 0;
    if (seconds > 0) {
        timer = g_timeout_add_seconds_full(G_PRIORITY_DEFAULT, static_cast<guint>(seconds),
                                           OnEndTimeout, new PostedKey(key), DeleteKey);
    }
    {
        std::lock_guard<std::mutex> lock(g_postedMutex);
        Posted& posted = PostedNotifications()[key];
        if (posted.endTimer)
            g_source_remove(posted.endTimer);
        posted.copy = noti;
        posted.callback = callback;
        posted.userData = userData;
        posted.endTimer = timer;
        posted.timerHides = hides;
    }
    // Registered on every posting: the framework may have been restarted in between.
    tvhost::SetMessageHandler("notification_event", OnEventMessage);
}

// ---- posting ------------------------------------------------------------------------------

// The next device-wide id, counted in notification/next_id under an flock, or 0.
int NextId() {
    if (!tvhost::MakeDirs(tvhost::RootPath("notification")))
        return 0;
    int fd =
        open(tvhost::RootPath("notification/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    flock(fd, LOCK_EX);
    std::string text;
    int id = 1;
    if (tvhost::ReadWholeFile(tvhost::RootPath("notification/next_id"), &text))
        id = atoi(text.c_str());
    if (id < 1)
        id = 1;
    bool stored = tvhost::WriteFileAtomic(tvhost::RootPath("notification/next_id"),
                                          std::to_string(id + 1) + "\n");
    close(fd);
    return stored ? id : 0;
}

bool RecordPoster(int id, bool eventCb) {
    Json::Value poster(Json::objectValue);
    poster["id"] = id;
    poster["caller"] = tvhost::SelfAppId();
    poster["pid"] = static_cast<Json::Int64>(getpid());
    poster["event_cb"] = eventCb;
    return tvhost::WriteFileAtomic(tvhost::RootPath("notification/" + std::to_string(id) + ".json"),
                                   tvhost::JsonLine(poster) + "\n");
}

void JournalPost(int id, const _notification& noti, bool eventCb) {
    std::vector<tvhost::JsonText> texts;
    for (const auto& text : noti.texts) {
        texts.push_back(
            tvhost::OrderedObject({{"type", text.type},
                                   {"text", text.text},
                                   {"key", text.hasKey ? Json::Value(text.key) : Json::Value()}}));
    }
    Json::Value buttons(Json::arrayValue);
    for (int button : noti.buttons)
        buttons.append(button);
    tvhost::JournalAppend("notification.jsonl", {{"op", "post"},
                                                 {"id", id},
                                                 {"caller", tvhost::SelfAppId()},
                                                 {"type", noti.type},
                                                 {"texts", tvhost::OrderedArray(texts)},
                                                 {"buttons", buttons},
                                                 {"default_button", noti.defaultButton},
                                                 {"hide_timeout", noti.hideTimeout},
                                                 {"delete_timeout", noti.deleteTimeout},
                                                 {"applist", noti.applist},
                                                 {"event_cb", eventCb}});
}

int Post(notification_h noti, notification_event_cb callback, void* userData) {
    int id = NextId();
    if (id == 0 || !RecordPoster(id, callback != nullptr))
        return NOTI_ERR_IO;
    // Known to this process before anyone can learn the id from the journal.
    if (callback)
        RememberPosted(id, *noti, callback, userData);
    JournalPost(id, *noti, callback != nullptr);
    return NOTI_OK;
}

}  // namespace

extern "C" {

notification_h notification_create(notification_type_e type) {
    if (tvhost::FaultHit("notification_create") || type != NOTI_TYPE_NORMAL)
        return nullptr;
    auto* noti = new _notification();
    noti->type = type;
    return noti;
}

int notification_free(notification_h noti) {
    return tvhost::DestroyHandle("notification_free", noti, NOTI_ERR_INVALID_PARAMETER);
}

// Only plain texts: the argument list must end at once with NOTI_VARIABLE_TYPE_NONE.
int notification_set_text(notification_h noti, notification_text_type_e type, const char* text,
                          const char* key, int args_type, ...) {
    int result = 0;
    if (tvhost::FaultHit("notification_set_text", &result))
        return result;
    if (!noti || !text || !KnownTextType(type) || args_type != NOTI_VARIABLE_TYPE_NONE)
        return NOTI_ERR_INVALID_PARAMETER;
    _notification::Text entry{type, text, key != nullptr, key ? key : ""};
    for (auto& existing : noti->texts) {
        if (existing.type == type) {
            existing = entry;
            return NOTI_OK;
        }
    }
    noti->texts.push_back(entry);
    return NOTI_OK;
}

int notification_add_button(notification_h noti, notification_button_index_e index) {
    int result = 0;
    if (tvhost::FaultHit("notification_add_button", &result))
        return result;
    if (!noti || !KnownButton(index))
        return NOTI_ERR_INVALID_PARAMETER;
    for (int button : noti->buttons) {
        if (button == index)
            return NOTI_OK;
    }
    noti->buttons.push_back(index);
    return NOTI_OK;
}

int notification_set_default_button(notification_h noti, notification_button_index_e index) {
    int result = 0;
    if (tvhost::FaultHit("notification_set_default_button", &result))
        return result;
    if (!noti || !KnownButton(index))
        return NOTI_ERR_INVALID_PARAMETER;
    noti->defaultButton = index;
    return NOTI_OK;
}

int notification_set_hide_timeout(notification_h noti, int timeout) {
    int result = 0;
    if (tvhost::FaultHit("notification_set_hide_timeout", &result))
        return result;
    if (!noti || timeout < 0)
        return NOTI_ERR_INVALID_PARAMETER;
    noti->hideTimeout = timeout;
    return NOTI_OK;
}

int notification_set_delete_timeout(notification_h noti, int timeout) {
    int result = 0;
    if (tvhost::FaultHit("notification_set_delete_timeout", &result))
        return result;
    if (!noti || timeout < 0)
        return NOTI_ERR_INVALID_PARAMETER;
    noti->deleteTimeout = timeout;
    return NOTI_OK;
}

int notification_set_display_applist(notification_h noti, int applist) {
    int result = 0;
    if (tvhost::FaultHit("notification_set_display_applist", &result))
        return result;
    const int known = NOTI_DISPLAY_TRAY | NOTI_DISPLAY_ACTIVE;
    if (!noti || applist <= 0 || (applist & ~known) != 0)
        return NOTI_ERR_INVALID_PARAMETER;
    noti->applist = applist;
    return NOTI_OK;
}

int notification_post(notification_h noti) {
    int result = 0;
    if (tvhost::FaultHit("notification_post", &result))
        return result;
    if (!noti)
        return NOTI_ERR_INVALID_PARAMETER;
    return Post(noti, nullptr, nullptr);
}

int notification_post_with_event_cb(notification_h noti, notification_event_cb cb,
                                    void* user_data) {
    int result = 0;
    if (tvhost::FaultHit("notification_post_with_event_cb", &result))
        return result;
    if (!noti || !cb)
        return NOTI_ERR_INVALID_PARAMETER;
    return Post(noti, cb, user_data);
}

}  // extern "C"
