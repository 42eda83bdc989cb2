// App control on the host: launch requests are journaled in log/launch.jsonl and, when the
// target application is running, handed to it as a "launch" message on its socket.
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "AppControlInternal.h"
#include "HostCore.h"
#include "app_control.h"
#include "pax_manager_api.h"

using Extra = std::vector<std::pair<std::string, std::string>>;

struct app_control_s {
    std::string appId;
    bool hasAppId = false;
    std::string operation;
    bool hasOperation = false;
    // In the order added; a key added again keeps its place and takes the new value.
    Extra extra;
    std::string caller;
    bool hasCaller = false;
};

namespace {

bool Installed(const std::string& appId) {
    return tvhost::PlainName(appId) && tvhost::Listed(tvhost::Area::APPS, appId);
}

Json::Value OperationJson(const app_control_s* handle) {
    return handle->hasOperation ? Json::Value(handle->operation) : Json::Value(Json::nullValue);
}

// A text that may be unset, in JSON.
tvhost::JsonText TextOrNull(bool has, const std::string& text) {
    return has ? tvhost::JsonText(text) : tvhost::JsonText::Raw("null");
}

void Journal(const app_control_s* handle, const std::string& caller, int result) {
    tvhost::JournalAppend("launch.jsonl",
                          {{"caller", caller},
                           {"app_id", TextOrNull(handle->hasAppId, handle->appId)},
                           {"operation", TextOrNull(handle->hasOperation, handle->operation)},
                           {"extra", tvhost::PairsText(handle->extra)},
                           {"result", result}});
}

// An installed application that is not running counts as launched: the host cannot start
// programs (the home update view and the system popup are none).
void Deliver(const app_control_s* handle, const std::string& caller) {
    if (!tvhost::AppListening(handle->appId))
        return;
    Json::Value message(Json::objectValue);
    message["kind"] = "launch";
    message["caller"] = caller;
    message["app_id"] = handle->appId;
    message["operation"] = OperationJson(handle);
    message["extra"] = tvhost::PairsToJson(handle->extra);
    tvhost::SendToApp(handle->appId, message);
}

// The text of member `key` of a message object, looked up once; false when it has none.
bool TextOf(const Json::Value& message, const char* key, std::string* text) {
    const Json::Value& value = message[key];
    if (!value.isString())
        return false;
    *text = value.asString();
    return true;
}

}  // namespace

namespace tvhost {

app_control_h AppControlFromMessage(const Json::Value& message) {
    auto handle = std::make_unique<app_control_s>();
    handle->hasAppId = message.isObject() && TextOf(message, "app_id", &handle->appId);
    if (!handle->hasAppId)
        return nullptr;
    handle->hasOperation = TextOf(message, "operation", &handle->operation);
    handle->hasCaller = TextOf(message, "caller", &handle->caller);
    const Json::Value& extra = message["extra"];
    if (!extra.isArray())
        return handle.release();
    for (const Json::Value& pair : extra) {
        if (pair.isArray() && pair.size() == 2 && pair[0].isString() && pair[1].isString())
            handle->extra.emplace_back(pair[0].asString(), pair[1].asString());
    }
    return handle.release();
}

}  // namespace tvhost

extern "C" {

int app_control_create(app_control_h* app_control) {
    int result = 0;
    if (tvhost::FaultHit("app_control_create", &result)) {
        if (app_control)
            *app_control = nullptr;
        return result;
    }
    if (!app_control)
        return APPCTL_ERR_INVALID_PARAMETER;
    *app_control = new app_control_s();
    return APPCTL_OK;
}

int app_control_destroy(app_control_h app_control) {
    return tvhost::DestroyHandle("app_control_destroy", app_control, APPCTL_ERR_INVALID_PARAMETER);
}

int app_control_set_app_id(app_control_h app_control, const char* app_id) {
    int result = 0;
    if (tvhost::FaultHit("app_control_set_app_id", &result))
        return result;
    if (!app_control || !app_id)
        return APPCTL_ERR_INVALID_PARAMETER;
    app_control->appId = app_id;
    app_control->hasAppId = true;
    return APPCTL_OK;
}

int app_control_set_operation(app_control_h app_control, const char* operation) {
    int result = 0;
    if (tvhost::FaultHit("app_control_set_operation", &result))
        return result;
    if (!app_control)
        return APPCTL_ERR_INVALID_PARAMETER;
    app_control->hasOperation = operation != nullptr;
    app_control->operation = operation ? operation : "";
    return APPCTL_OK;
}

int app_control_add_extra_data(app_control_h app_control, const char* key, const char* value) {
    int result = 0;
    if (tvhost::FaultHit("app_control_add_extra_data", &result))
        return result;
    if (!app_control || !key || !*key || !value)
        return APPCTL_ERR_INVALID_PARAMETER;
    for (auto& entry : app_control->extra) {
        if (entry.first == key) {
            entry.second = value;
            return APPCTL_OK;
        }
    }
    app_control->extra.emplace_back(key, value);
    return APPCTL_OK;
}

int app_control_get_extra_data(app_control_h app_control, const char* key, char** value) {
    int result = 0;
    if (tvhost::FaultHit("app_control_get_extra_data", &result)) {
        if (value)
            *value = nullptr;
        return result;
    }
    if (!app_control || !key || !value)
        return APPCTL_ERR_INVALID_PARAMETER;
    *value = nullptr;
    for (const auto& entry : app_control->extra) {
        if (entry.first == key) {
            *value = strdup(entry.second.c_str());
            return *value ? APPCTL_OK : APPCTL_ERR_OUT_OF_MEMORY;
        }
    }
    return APPCTL_ERR_KEY_NOT_FOUND;
}

// Only a request that reached this application has a caller; a handle made here has none.
int app_control_get_caller(app_control_h app_control, char** caller) {
    int result = 0;
    if (tvhost::FaultHit("app_control_get_caller", &result)) {
        if (caller)
            *caller = nullptr;
        return result;
    }
    if (!app_control || !caller)
        return APPCTL_ERR_INVALID_PARAMETER;
    *caller = nullptr;
    if (!app_control->hasCaller)
        return APPCTL_ERR_INVALID_PARAMETER;
    *caller = strdup(app_control->caller.c_str());
    return *caller ? APPCTL_OK : APPCTL_ERR_OUT_OF_MEMORY;
}

// The journal line goes out before the request does, so that it comes before anything the
// target does about the request.
int app_control_send_launch_request(app_control_h app_control, app_control_reply_cb callback,
                                    void* user_data) {
    (void)user_data;
    if (!app_control)
        return APPCTL_ERR_INVALID_PARAMETER;
    std::string caller = tvhost::SelfAppId();
    int result = APPCTL_OK;
    bool faulted = tvhost::FaultHit("app_control_send_launch_request", &result);
    if (!faulted && (callback || !app_control->hasAppId))
        result = APPCTL_ERR_INVALID_PARAMETER;
    else if (!faulted && !Installed(app_control->appId))
        result = APPCTL_ERR_APP_NOT_FOUND;
    Journal(app_control, caller, result);
    if (faulted || result != APPCTL_OK)
        return result;
    Deliver(app_control, caller);
    return APPCTL_OK;
}

// The store service keeps the action; on the host the journal is what there is to see.
int pax_add_recovery_action(app_control_h app_control) {
    int result = 0;
    bool faulted = tvhost::FaultHit("pax_add_recovery_action", &result);
    if (!faulted && !app_control)
        result = -1;
    tvhost::JsonText extra = tvhost::PairsText(app_control ? app_control->extra : Extra());
    tvhost::JournalAppend(
        "store.jsonl", {{"call", "pax_add_recovery_action"}, {"extra", extra}, {"result", result}});
    return result;
}

}  // extern "C"
