#include "AppControlUtil.h"

#include <cstdlib>

#include "Constants.h"
#include "Log.h"

namespace {

// Releases a handle that CreateBasicAppControl made, on every path out of SendAppControl.
struct AppControlOwner {
    app_control_h handle;
    ~AppControlOwner() {
        if (handle)
            app_control_destroy(handle);
    }
    app_control_h Release() {
        app_control_h owned = handle;
        handle = nullptr;
        return owned;
    }
};

}  // namespace

void AppControlUtil::HandleError(int error, const std::string& message) {
    LOGE("%s (error code: %d)", message.c_str(), error);
}

bool AppControlUtil::GetCallerApp(app_control_h appControl, std::string& caller) {
    char* value = nullptr;
    int ret = app_control_get_caller(appControl, &value);
    if (ret != APPCTL_OK) {
        HandleError(ret, "failed to get caller");
        free(value);
        caller.clear();
        return false;
    }
    caller = value ? value : "";
    LOGI("Caller App => %s", caller.c_str());
    free(value);
    return true;
}

bool AppControlUtil::GetExtraData(app_control_h appControl, const char* key, std::string& value) {
    char* data = nullptr;
    int ret = app_control_get_extra_data(appControl, key, &data);
    if (ret != APPCTL_OK) {
        HandleError(ret, "failed to get extra data");
        free(data);
        value.clear();
        return false;
    }
    value = data ? data : "";
    LOGI("Extra Data [%s] => %s", key, value.c_str());
    free(data);
    return true;
}

app_control_h AppControlUtil::CreateBasicAppControl() {
    app_control_h handle = nullptr;
    int ret = app_control_create(&handle);
    if (ret != APPCTL_OK) {
        HandleError(ret, "Failed to create app control");
        return nullptr;
    }
    return handle;
}

void AppControlUtil::SendAppControl(const std::string& appId, const ExtraDataMap& extraData,
                                    const std::string& failureMessage) {
    AppControlOwner request{CreateBasicAppControl()};
    if (!request.handle)
        return;

    int ret = app_control_set_app_id(request.handle, appId.c_str());
    if (ret != APPCTL_OK)
        return HandleError(ret, "failed to set app id");

    ret = app_control_set_operation(request.handle, APPCTL_OPERATION_DEFAULT);
    if (ret != APPCTL_OK)
        return HandleError(ret, "failed to set operation");

    for (const auto& entry : extraData) {
        LOGD("app_control_add_extra_data: %s, %s", entry.first.c_str(), entry.second.c_str());
        ret = app_control_add_extra_data(request.handle, entry.first.c_str(), entry.second.c_str());
        if (ret != APPCTL_OK)
            return HandleError(ret, "failed to set extra data");
    }

    ret = app_control_add_extra_data(request.handle, "Caller", BRENWICK_APP_ID);
    if (ret != APPCTL_OK)
        return HandleError(ret, "failed to set common extra data");

    ret = app_control_send_launch_request(request.handle, nullptr, nullptr);
    app_control_destroy(request.Release());
    if (ret != APPCTL_OK)
        HandleError(ret, failureMessage);
}
