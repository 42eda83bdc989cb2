// A launch request that another application sends the service: the message as it arrives on the
// service's socket (any bytes), taken apart by the host and handled by the service. A
// "DetailPopup" whose "RequestStatus" reads as 0 to 3 tells the store service its answer word;
// no other request writes into the store service's key.
#include <app_control.h>
#include <vconf.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "AppControlInternal.h"
#include "BrenwickMain.h"
#include "FuzzDevice.h"
#include "HostCore.h"
#include "PlatformKeys.h"
#include "UpdateStatus.h"

namespace {

constexpr const char* WAITING = "priority0_downloaded";

std::string Extra(app_control_h request, const char* key, bool* present) {
    char* value = nullptr;
    *present = app_control_get_extra_data(request, key, &value) == APPCTL_OK && value;
    std::string text = *present ? value : "";
    free(value);
    return text;
}

// The answer word a "RequestStatus" stands for, read the way the C library reads an int; "" for
// none.
std::string AnswerWord(const std::string& status) {
    char* end = nullptr;
    errno = 0;
    long number = strtol(status.c_str(), &end, 10);
    if (end == status.c_str() || errno != 0 || number < 0 || number > 3)
        return "";
    return requestValuesMap.at(static_cast<REQUEST_STATUS>(number));
}

std::string StoreKey() {
    std::unique_ptr<char, decltype(&free)> value(vconf_get_str(keys::PRIORITY_BIU_STATUS), &free);
    return value ? value.get() : "";
}

// What the framework does with a launch message: the request made from it goes to the service's
// app-control callback.
void OnLaunch(const Json::Value& message) {
    app_control_h request = tvhost::AppControlFromMessage(message);
    if (!request)
        return;
    bool hasReason = false, hasStatus = false;
    std::string reason = Extra(request, "LaunchReason", &hasReason);
    std::string status = Extra(request, "RequestStatus", &hasStatus);
    std::string expected = WAITING;
    if (reason == "DetailPopup" && hasStatus && !AnswerWord(status).empty())
        expected = AnswerWord(status);
    BrenwickMain::OnAppControlReceived(request, nullptr);
    app_control_destroy(request);
    fuzz::Check(StoreKey() == expected, "the store service hears the answer asked for, or nothing");
}

// A notification stays up until the user or its time-out hides it; time-outs never come here, where
// no main loop runs, so each is hidden from outside, as `tvctl hide` does.
void HideNotifications() {
    std::error_code ignored;
    for (const auto& entry :
         std::filesystem::directory_iterator(fuzz::DevicePath("notification"), ignored)) {
        tvhost::DispatchMessage(R"({"kind":"notification_event","event":102,"id":)" +
                                entry.path().stem().string() + "}");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        fuzz::Device();
        tvhost::SetMessageHandler("launch", OnLaunch);
        return true;
    }();
    (void)ready;
    vconf_set_str(keys::PRIORITY_BIU_STATUS, WAITING);
    tvhost::DispatchMessage(fuzz::Bytes(data, size));
    HideNotifications();
    return 0;
}
