// A launch request that another application sends the service: the message as it arrives on the
// service's socket (any bytes), taken apart by the host and handled by the service, all in this
// process. What must follow is written out here, not taken from the service's tables:
// - a "DetailPopup" whose "RequestStatus" reads as 0 to 3 tells the store service its answer word
//   and reaches the update manager under its own name (so " 3" and "2", both "deny_install" for
//   the store service, stay apart); "DO_NOT_UPDATE" also ends the test mode;
// - a "CheckUpdateValidation" on this set, where every check passes, marks the update as ready;
// - a "Hidden_Key" switches the test mode over;
// - nothing else changes the store service's key, the home status or the test mode.
#include <app_control.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vconf.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "AppControlInternal.h"
#include "BrenwickMain.h"
#include "FuzzDevice.h"
#include "HostCore.h"
#include "PlatformKeys.h"

namespace {

constexpr const char* WAITING = "priority0_downloaded";
constexpr const char* HOME_IDLE = "none";
constexpr const char* HIDDEN_FLAG =
    "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/data/hidden_mode";

// The answers 0 to 3: the store service's word and the name the update manager logs.
constexpr const char* ANSWER_WORDS[] = {"allow_install", "install_later", "deny_install",
                                        "deny_install"};
constexpr const char* ANSWER_NAMES[] = {"UPDATE_NOW", "UPDATE_LATER", "CHECK_NEXT_TIME",
                                        "DO_NOT_UPDATE"};
constexpr long DO_NOT_UPDATE = 3;

std::string Extra(app_control_h request, const char* key, bool* present) {
    char* value = nullptr;
    *present = app_control_get_extra_data(request, key, &value) == APPCTL_OK && value;
    std::string text = *present ? value : "";
    free(value);
    return text;
}

// The answer a "RequestStatus" stands for, read the way the C library reads an int; -1 for none.
long Answer(const std::string& status) {
    char* end = nullptr;
    errno = 0;
    long number = strtol(status.c_str(), &end, 10);
    return end == status.c_str() || errno != 0 || number < 0 || number > 3 ? -1 : number;
}

std::string Key(const char* key) {
    std::unique_ptr<char, decltype(&free)> value(vconf_get_str(key), &free);
    return value ? value.get() : "";
}

bool HiddenModeOn() {
    return access(fuzz::DevicePath(HIDDEN_FLAG).c_str(), F_OK) == 0;
}

// What the framework does with a launch message: the request made from it goes to the service's
// app-control callback.
void OnLaunch(const Json::Value& message) {
    app_control_h request = tvhost::AppControlFromMessage(message);
    if (!request)
        return;
    bool hasReason = false, hasStatus = false;
    std::string reason = Extra(request, "LaunchReason", &hasReason);
    long answer = Answer(Extra(request, "RequestStatus", &hasStatus));
    bool answered = reason == "DetailPopup" && hasStatus && answer >= 0;
    bool hidden = HiddenModeOn();
    BrenwickMain::OnAppControlReceived(request, nullptr);
    app_control_destroy(request);

    fuzz::Check(Key(keys::PRIORITY_BIU_STATUS) == (answered ? ANSWER_WORDS[answer] : WAITING),
                "the store service hears the answer asked for, or nothing");
    if (answered) {
        std::string log;
        fuzz::GetFile("log/dlog.log", &log);
        fuzz::Check(log.find(std::string("> REQUEST_STATUS: ") + ANSWER_NAMES[answer] + "\n") !=
                        std::string::npos,
                    "the update manager hears the answer under its own name");
    }
    fuzz::Check(Key(keys::HOME_PRIORITY_UPDATE_STATUS) ==
                    (reason == "CheckUpdateValidation" ? "ready" : HOME_IDLE),
                "only an update request marks the update as ready");
    bool hiddenAfter = reason == "Hidden_Key"                ? !hidden
                       : answered && answer == DO_NOT_UPDATE ? false
                                                             : hidden;
    fuzz::Check(HiddenModeOn() == hiddenAfter,
                "the hidden key switches the test mode over, declining a version ends it");
}

// The set as each input finds it: the store waits for an answer, no update was asked for, the
// screen shows no notification (the test mode's stay up until hidden, and no main loop runs here
// to hide them) and the log is empty.
void Reset() {
    if (Key(keys::PRIORITY_BIU_STATUS) != WAITING)
        vconf_set_str(keys::PRIORITY_BIU_STATUS, WAITING);
    if (Key(keys::HOME_PRIORITY_UPDATE_STATUS) != HOME_IDLE)
        vconf_set_str(keys::HOME_PRIORITY_UPDATE_STATUS, HOME_IDLE);
    std::string notifications = fuzz::DevicePath("notification");
    if (DIR* dir = opendir(notifications.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0)
                unlink((notifications + "/" + name).c_str());
        }
        closedir(dir);
    }
    int emptied = truncate(fuzz::DevicePath("log/dlog.log").c_str(), 0);
    (void)emptied;
}

// The service's log is kept, to be read; the journals are directories, so that no line of them
// is written and none piles up over millions of runs.
void KeepTheLogOnly() {
    mkdir(fuzz::DevicePath("log").c_str(), 0755);
    for (const char* journal : {"launch.jsonl", "notification.jsonl", "store.jsonl", "power.jsonl"})
        mkdir(fuzz::DevicePath(std::string("log/") + journal).c_str(), 0755);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        fuzz::Device();
        KeepTheLogOnly();
        tvhost::SetMessageHandler("launch", OnLaunch);
        return true;
    }();
    (void)ready;
    Reset();
    tvhost::DispatchMessage(fuzz::Bytes(data, size));
    return 0;
}
