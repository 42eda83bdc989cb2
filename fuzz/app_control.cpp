// A launch request that another application sends the service: the message as it arrives on the
// service's socket (any bytes), made into a request by the host and handled by the service. A
// "DetailPopup" whose "RequestStatus" reads as 0 to 3 tells the store service its answer word;
// no other request writes into the store service's key.
#include <app_control.h>
#include <json/json.h>
#include <vconf.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "AppControlInternal.h"
#include "BrenwickMain.h"
#include "FuzzDevice.h"
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
    if (end == status.c_str() || errno != 0)
        return "";
    auto found = requestValuesMap.find(static_cast<REQUEST_STATUS>(number));
    return number < 0 || number > 3 || found == requestValuesMap.end() ? "" : found->second;
}

std::string StoreKey() {
    std::unique_ptr<char, decltype(&free)> value(vconf_get_str(keys::PRIORITY_BIU_STATUS), &free);
    return value ? value.get() : "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Device();
    std::string text = fuzz::Bytes(data, size);
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value message;
    // As the framework takes messages from the socket: a "launch" object, or nothing.
    if (!reader->parse(text.data(), text.data() + text.size(), &message, nullptr) ||
        !message.isObject() || message["kind"] != "launch")
        return 0;
    app_control_h request = tvhost::AppControlFromMessage(message);
    if (!request)
        return 0;
    bool hasReason = false, hasStatus = false;
    std::string reason = Extra(request, "LaunchReason", &hasReason);
    std::string status = Extra(request, "RequestStatus", &hasStatus);
    std::string expected = WAITING;
    if (reason == "DetailPopup" && hasStatus && !AnswerWord(status).empty())
        expected = AnswerWord(status);

    vconf_set_str(keys::PRIORITY_BIU_STATUS, WAITING);
    BrenwickMain::OnAppControlReceived(request, nullptr);
    app_control_destroy(request);
    fuzz::Check(StoreKey() == expected, "the store service hears the answer asked for, or nothing");
    return 0;
}
