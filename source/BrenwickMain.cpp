#include "BrenwickMain.h"

#include <service_app.h>

#include <string>

#include "AppControlUtil.h"
#include "Log.h"

int BrenwickMain::ServiceAppInit(int argc, char** argv) {
    LOGI("Init BrenwickMain");
    service_app_lifecycle_callback_s callbacks = {};
    callbacks.create = OnCreate;
    callbacks.terminate = OnTerminate;
    callbacks.app_control = OnAppControlReceived;
    int ret = service_app_main(argc, argv, &callbacks, nullptr);
    if (ret != 0) {
        LOGE("service_app_main() failed with error ret: %d", ret);
        return 1;
    }
    LOGE("service_app_main() done -> ret: %d", ret);
    return 0;
}

bool BrenwickMain::OnCreate(void* data) {
    (void)data;
    LOGI("Create BrenwickMain");
    // Start-up order matters: the reset check and its wipe run before any manager reads files.
    return true;
}

void BrenwickMain::OnTerminate(void* data) {
    (void)data;
    LOGI("Terminate BrenwickMain");
}

void BrenwickMain::OnAppControlReceived(app_control_h appControl, void* data) {
    (void)data;
    LOGI("AppControlReceived => %p", static_cast<void*>(appControl));
    std::string caller;
    if (!AppControlUtil::GetCallerApp(appControl, caller))
        LOGI("failed to get Caller App");
    std::string reason;
    if (!AppControlUtil::GetExtraData(appControl, "LaunchReason", reason)) {
        LOGI("failed to get LaunchReason");
        return;
    }
}
