#include "BrenwickMain.h"

#include <service_app.h>

#include <stdexcept>
#include <string>

#include "AppControlUtil.h"
#include "EntryGuard.h"
#include "HiddenMode.h"
#include "HomeResetManager.h"
#include "Log.h"
#include "ResetManager.h"
#include "UpdateManager.h"
#include "UpdateStatusMonitor.h"

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

bool BrenwickMain::OnCreate(void* data) try {
    (void)data;
    LOGI("Create BrenwickMain");
    // A manager that cannot be built must not take the framework down with it: the service
    // keeps running with the managers built so far, and the shutdown skips the missing ones.
    try {
        // Start-up order matters: the reset check and its wipe run before any manager reads
        // files.
        // 1.-2. reset check
        ResetManager* resetManager = Singleton<ResetManager>::GetInstance();
        if (resetManager->IsReset())
            resetManager->DoReset();
        // 3. hidden mode: reads its flag file, which a reset wipe has already removed
        Singleton<HiddenMode>::GetInstance();
        // 4. update manager: target, app detail, status monitor and both retry counters
        Singleton<UpdateManager>::GetInstance();
        // 5. home reset
        Singleton<HomeResetManager>::GetInstance()->Init();
    } catch (const std::exception& e) {
        LOGE("%s", e.what());
    }
    // Which build this is, after the start-up lines, so that a log says what produced it.
    LOGI("brenwick %s", BRENWICK_VERSION);
    return true;
} catch (...) {
    LOG_ESCAPED_EXCEPTION();
    return true;
}

void BrenwickMain::OnTerminate(void* data) try {
    (void)data;
    LOGI("Terminate BrenwickMain");
    // 1. hidden mode
    Singleton<HiddenMode>::DestoryInstance();
    // 2. reset check
    Singleton<ResetManager>::DestoryInstance();
    // 3. update manager, and with it the monitor, app detail and target
    Singleton<UpdateManager>::DestoryInstance();
    // 4. home reset
    Singleton<HomeResetManager>::DestoryInstance();
} catch (...) {
    LOG_ESCAPED_EXCEPTION();
}

void BrenwickMain::OnAppControlReceived(app_control_h appControl, void* data) try {
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
    if (reason == "DetailPopup") {
        std::string requestStatus;
        if (!AppControlUtil::GetExtraData(appControl, "RequestStatus", requestStatus)) {
            LOGI("failed to get RequestStatus");
            return;
        }
        int status = 0;
        try {
            status = std::stoi(requestStatus);
        } catch (const std::exception& e) {
            // Not a number, or not an int: the answer is unknown, so nothing reaches the store
            // service and the service goes on waiting for a real one.
            LOGE("invalid RequestStatus %s: %s", requestStatus.c_str(), e.what());
            return;
        }
        // The manager registers its callbacks with the monitor before the answer arrives.
        Singleton<UpdateManager>::GetInstance();
        Singleton<UpdateStatusMonitor>::GetInstance()->SetUserRequestStatus(
            static_cast<REQUEST_STATUS>(status), "");
        return;
    }
    if (reason == "CheckUpdateValidation") {
        Singleton<UpdateManager>::GetInstance()->RequestForHomeUpdate();
        return;
    }
    if (reason == "Hidden_Key") {
        // Each press toggles; the request carries nothing else worth checking.
        HiddenMode* hiddenMode = Singleton<HiddenMode>::GetInstance();
        if (!hiddenMode->m_isHiddenMode)
            hiddenMode->m_EnableHiddenMode();
        else
            hiddenMode->m_DisableHiddenMode();
        return;
    }
} catch (...) {
    LOG_ESCAPED_EXCEPTION();
}
