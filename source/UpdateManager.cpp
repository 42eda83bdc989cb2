#include "UpdateManager.h"

#include <dravo_api.h>
#include <pax_manager_api.h>
#include <vconf.h>

#include <climits>
#include <cstdlib>
#include <exception>
#include <utility>

#include "AppControlUtil.h"
#include "AppDetail.h"
#include "Constants.h"
#include "CurrentHomeVersion.h"
#include "EntryGuard.h"
#include "FileUtil.h"
#include "HiddenMode.h"
#include "HomeUpdateNotification.h"
#include "LocaleTextUtil.h"
#include "Log.h"
#include "PlatformKeys.h"
#include "PlatformRegistration.h"
#include "Retry.h"
#include "TriggerHomeVersion.h"
#include "UpdateStatusMonitor.h"
#include "VconfUtil.h"

namespace {

const char* HomeStatusName(HOME_PRIORITY_UPDATE_STATUS status) {
    auto found = updatePriorityValuesMap.find(status);
    return found != updatePriorityValuesMap.end() ? found->second.c_str() : "Unknown";
}

const char* RequestStatusName(REQUEST_STATUS status) {
    switch (status) {
        case NONE:
            return "NONE";
        case UPDATE_NOW:
            return "UPDATE_NOW";
        case UPDATE_LATER:
            return "UPDATE_LATER";
        case CHECK_NEXT_TIME:
            return "CHECK_NEXT_TIME";
        case DO_NOT_UPDATE:
            return "DO_NOT_UPDATE";
    }
    return "Unknown";
}

// A home status that cannot be read is not "start": the update is then treated as one the
// store service began on its own.
bool IsHomeStatusStart() {
    try {
        return VconfUtil::GetVconfStr(keys::HOME_PRIORITY_UPDATE_STATUS) == "start";
    } catch (const std::exception& e) {
        LOGE("%s", e.what());
        return false;
    }
}

// The notification's details page needs the target's description; fetch it unless cached.
void FetchMissingAppDetail() {
    TriggerHomeVersion* target = Singleton<TriggerHomeVersion>::GetInstance();
    AppDetail* detail = Singleton<AppDetail>::GetInstance();
    if (detail->GetDescription(target->GetVersion()).empty())
        detail->Update(target->GetAppId(), target->GetVersion());
}

void SetUserRequest(REQUEST_STATUS status) {
    Singleton<UpdateStatusMonitor>::GetInstance()->SetUserRequestStatus(status, "");
}

HiddenMode* Hidden() {
    return Singleton<HiddenMode>::GetInstance();
}

// The store service's maximum doubled without wrapping: a limit beyond the int range stops at
// its end, so that a huge maximum stays huge instead of turning negative.
int DoubledLimit(int maxRetryCount) {
    int limit = maxRetryCount > INT_MAX / 2   ? INT_MAX
                : maxRetryCount < INT_MIN / 2 ? INT_MIN
                                              : maxRetryCount * 2;
    if (limit != maxRetryCount * 2LL)
        LOGE("maxRetryCount %d doubled is out of range, limit %d", maxRetryCount, limit);
    return limit;
}

}  // namespace

UpdateManager::UpdateManager() {
    LOGD("const");
    UpdateStatusMonitor* monitor = nullptr;
    try {
        Singleton<TriggerHomeVersion>::GetInstance();
        Singleton<AppDetail>::GetInstance();

        monitor = Singleton<UpdateStatusMonitor>::GetInstance();
        monitor->SetUpdateStatusChangedCallback(m_OnHomeUpdateStatusChanged, this);
        monitor->SetUpdatPriorityStatusChangedCallback(m_OnHomePriorityUpdateStatusChanged, this);
        monitor->SetRequestStatusChangedCallback(m_OnUserRequestStatusChanged, this);

        m_pPowerSubscription = std::make_unique<PlatformRegistration>(
            "subscribe to power state events",
            [this] {
                return device_power_subscribe_state_changed_event(m_PowerStatusChanged, this);
            },
            [] { return device_power_unsubscribe_state_changed_event(m_PowerStatusChanged); });

        m_pRequestRetry = std::make_unique<Retry>(FILE_NAME_REQUEST_RETRY);
        m_pUserRetry = std::make_unique<Retry>(FILE_NAME_USER_RETRY);
    } catch (...) {
        // No destructor runs for a constructor that throws: what was registered so far is
        // withdrawn here (the members, the power subscription among them, release themselves).
        m_ReleaseShared(monitor);
        throw;
    }
}

UpdateManager::~UpdateManager() {
    LOGD("dest");
    m_pRequestRetry.reset();
    m_pUserRetry.reset();
    m_pPowerSubscription.reset();
    m_ReleaseShared(Singleton<UpdateStatusMonitor>::GetInstance());
}

void UpdateManager::m_ReleaseShared(UpdateStatusMonitor* monitor) {
    if (monitor != nullptr) {
        monitor->UnsetRequestStatusChangedCallback(m_OnUserRequestStatusChanged);
        monitor->UnsetUpdatePriorityStatusChangedCallback(m_OnHomePriorityUpdateStatusChanged);
        monitor->UnsetUpdateStatusChangedCallback(m_OnHomeUpdateStatusChanged);
    }
    Singleton<UpdateStatusMonitor>::DestoryInstance();
    Singleton<AppDetail>::DestoryInstance();
    Singleton<TriggerHomeVersion>::DestoryInstance();
}

// The monitor hands each callback its own copy of the value.
void UpdateManager::m_OnHomeUpdateStatusChanged(
    PRIORITY_BIU_STATUS status,
    std::string value,  // NOLINT(performance-unnecessary-value-param)
    void* pUserData) {
    LOGI("%s", value.c_str());
    if (pUserData == nullptr) {
        LOGE("pUserData is null");
        return;
    }
    UpdateManager* manager = static_cast<UpdateManager*>(pUserData);

    switch (status) {
        case PRIORITY0_FAILED:
            if (IsHomeStatusStart())
                manager->m_EndRequestedUpdate("priority home update status changes to none", value);
            break;
        case PRIORITY0_START:
            manager->m_OnPriorityStart(value);
            break;
        case NEEDED_SPACE:
        case PRIORITY0_DOWNLOADFAILED:
        case PRIORITY0_INSTALLFAILED:
            if (IsHomeStatusStart())
                manager->m_EndRequestedUpdate("priority home update status changes to none", value);
            else
                manager->m_pRequestRetry->IncreaseCount();
            Hidden()->FinishHiddenMode(HiddenMode::UPDATE_FAILED, value);
            break;
        case PRIORITY0_DOWNLOADED:
            manager->m_OnDownloaded(value);
            break;
        case PRIORITY0_INSTALLPROGRESS:
            Hidden()->ShowMessage(HiddenMode::UPDATING, value);
            if (IsHomeStatusStart())
                LOGE("priority home update in progress");
            else
                m_LaunchLoadingUI();
            break;
        case PRIORITY0_END:
            manager->m_OnEnd();
            if (IsHomeStatusStart())
                manager->m_EndRequestedUpdate("priority home update status changes to end", value);
            break;
        case PRIORITY1_START:
        case PRIORITY1_PROGRESS:
        case PRIORITY1_END:
            Hidden()->ShowMessage(HiddenMode::UPDATING, value);
            break;
        default:
            break;
    }
}

void UpdateManager::m_EndRequestedUpdate(const char* message, const std::string& statusText) {
    LOGE("%s", message);
    LOGD("%s", statusText.c_str());
    m_LaunchStopUI(statusText);
    vconf_set_str(keys::HOME_PRIORITY_UPDATE_STATUS, "done");
}

void UpdateManager::m_OnPriorityStart(const std::string& value) {
    Hidden()->ShowMessage(HiddenMode::UPDATING, value);
    TriggerHomeVersion* target = Singleton<TriggerHomeVersion>::GetInstance();
    target->Update();
    std::string appId = target->GetAppId();
    std::string version = target->GetVersion();
    std::string group = target->GetTargetGroupType();
    int maxRetryCount = target->GetMaxRetryCount();

    m_pUserRetry->SetRetryInfo(appId, version, group, maxRetryCount);
    m_pRequestRetry->SetRetryInfo(appId, version, group, DoubledLimit(maxRetryCount));

    if (m_NeedToShowNotification())
        FetchMissingAppDetail();
}

void UpdateManager::m_OnDownloaded(const std::string& value) {
    Hidden()->ShowMessage(HiddenMode::UPDATING, value);
    if (IsHomeStatusStart()) {
        // A requested update goes ahead without asking the user a second time.
        LOGE("priority home update start");
        SetUserRequest(UPDATE_NOW);
        return;
    }
    m_pUserRetry->IncreaseCount();
    if (!m_NeedToShowNotification()) {
        SetUserRequest(UPDATE_LATER);
        return;
    }
    FetchMissingAppDetail();
    HomeUpdateNotification::Show();
}

void UpdateManager::m_OnEnd() {
    m_pUserRetry->Clear();
    m_pRequestRetry->Clear();
    TriggerHomeVersion* target = Singleton<TriggerHomeVersion>::GetInstance();
    if (m_IsMajorUpdateCompleted()) {
        Hidden()->FinishHiddenMode(HiddenMode::UPDATE_SUCCEEDED, target->GetVersion());
        target->m_UpdateTargetGroupTypeFlag();
        target->m_Clear();
        return;
    }
    LOGE("[ERROR] Major and installed version are different");
    target->m_Clear();
    Hidden()->FinishHiddenMode(HiddenMode::UPDATE_FAILED,
                               "Requested version and installed version are different");
}

bool UpdateManager::m_NeedToShowNotification() {
    if (m_IsNotificationRequiredCountry())
        return true;
    int autoUpdate = 0;
    if (vconf_get_int(keys::AUTO_UPDATE, &autoUpdate) != 0) {
        LOGE("vconf_get_int fail %s", keys::AUTO_UPDATE);
        return true;
    }
    return autoUpdate == 0;
}

bool UpdateManager::m_IsNotificationRequiredCountry() {
    char* text = nullptr;
    int ret = dravo_get_rixurl_configproperties("updateNotification", &text);
    LOGI("ret %d", ret);
    char first = '\0';
    if (ret == 0 && text != nullptr) {
        LOGI("%s - %s", "updateNotification", text);
        first = text[0];
    }
    free(text);
    return ret == 0 && first == '1';
}

bool UpdateManager::m_IsMajorUpdateCompleted() {
    TriggerHomeVersion* target = Singleton<TriggerHomeVersion>::GetInstance();
    std::string majorVersion = target->GetVersion();
    std::string majorGroup = target->GetTargetGroupType();
    CurrentHomeVersion current;
    std::string installedVersion = current.GetHomePackageVersion();
    std::string installedGroup = current.GetTargetGroupType();
    LOGE("Major: %s|%s, Installed: %s|%s", majorVersion.c_str(), majorGroup.c_str(),
         installedVersion.c_str(), installedGroup.c_str());

    if (installedVersion.empty())
        return false;
    if (m_CheckValidHomeVersion(majorVersion, installedVersion))
        return false;

    if (installedGroup == "normal")
        return majorGroup == "normal" || majorGroup == "abtest";
    if (installedGroup == "abtest" && majorGroup == "normal") {
        LOGE("(%s) A/B Test finished", installedVersion.c_str());
        return true;
    }
    return false;
}

bool UpdateManager::m_CheckValidHomeVersion(const std::string& majorVersion,
                                            const std::string& installedVersion) {
    if (majorVersion == installedVersion) {
        LOGI("compared version is same %s", installedVersion.c_str());
        return false;
    }
    // A version once recorded as installed counts as reached, even if another runs now.
    std::string tracker;
    std::string path = FileUtil::DevicePath(std::string(TRUSTED_DIR) + HOME_VERSION_TRACKER_FILE);
    if (FileUtil::ReadFile(path, tracker) && tracker.find(majorVersion) != std::string::npos) {
        LOGI("Version %s is invalid for update", majorVersion.c_str());
        return false;
    }
    LOGI("Version %s is valid for update", majorVersion.c_str());
    return true;
}

void UpdateManager::m_OnHomePriorityUpdateStatusChanged(HOME_PRIORITY_UPDATE_STATUS status,
                                                        void* pUserData) {
    LOGI("HOME_PRIORITY_UPDATE_STATUS: %s", HomeStatusName(status));
    if (pUserData == nullptr) {
        LOGE("pUserData is null");
        return;
    }
    if (status == PRIORITY_UPDATE_READY) {
        // Marks the requested update as running; the monitor brings "start" back here.
        vconf_set_str(keys::HOME_PRIORITY_UPDATE_STATUS, "start");
        return;
    }
    if (status == PRIORITY_UPDATE_START) {
        LOGE("Start priority update");
        pax_request_priority_update();
        m_LaunchLoadingUI();
    }
}

void UpdateManager::m_OnUserRequestStatusChanged(REQUEST_STATUS status, void* pUserData) {
    LOGI("REQUEST_STATUS: %s", RequestStatusName(status));
    if (pUserData == nullptr) {
        LOGE("pUserData is null");
        return;
    }
    UpdateManager* manager = static_cast<UpdateManager*>(pUserData);

    switch (status) {
        case UPDATE_LATER:
            Hidden()->ShowMessage(HiddenMode::UPDATING,
                                  LocaleTextUtil::GetLocalizedText(
                                      "COM_UPDATE_LATER_PRODUCT_BE_UPDATED_AUTOMATICALLY_MSG"));
            break;
        case CHECK_NEXT_TIME:
            Hidden()->ShowMessage(HiddenMode::UPDATE_FAILED, "Update will be checked next time.");
            break;
        case DO_NOT_UPDATE: {
            TriggerHomeVersion* target = Singleton<TriggerHomeVersion>::GetInstance();
            Hidden()->FinishHiddenMode(
                HiddenMode::UPDATE_FAILED,
                "Skip This Version Update. (version: " + target->GetVersion() + ")");
            // The declined version is treated as if its tries were used up.
            manager->m_pUserRetry->Skip();
            manager->m_pRequestRetry->Clear();
            target->m_Clear();
            break;
        }
        default:
            break;
    }
}

int UpdateManager::m_PowerStatusChanged(device_power_state_info* info, void* pUserData) try {
    (void)pUserData;
    if (info == nullptr)
        return 0;
    int newState = info->new_state;
    bool powerOff = newState == 2 || newState == 3 || newState == 4;
    if (info->previous_state == newState || !powerOff)
        return 0;

    LOGE("power off [%d]", newState);
    // An answer waiting to be carried out, or a priority1 phase, keeps the home status.
    if (Singleton<UpdateStatusMonitor>::GetInstance()->GetUpgradeStatus() <= CANCEL_BY_TIMER) {
        LOGE("need to reset home priority update status");
        vconf_set_str(keys::HOME_PRIORITY_UPDATE_STATUS, "none");
    }
    return 0;
} catch (...) {
    LOG_ESCAPED_EXCEPTION();
    return 0;
}

void UpdateManager::RequestForHomeUpdate() {
    try {
        std::string reason;
        if (!m_CheckPriorityUpdateValidation(reason)) {
            ExtraDataMap extraData = {
                {"type", "toast"}, {"text", reason}, {"app_name", BRENWICK_APP_ID}};
            AppControlUtil::SendAppControl(SYSPOPUP_APP_ID, extraData,
                                           "Failed to show toast popup");
            return;
        }
        LOGE("Request Priority Update to PAX");
        vconf_set_str(keys::HOME_PRIORITY_UPDATE_STATUS, "ready");
    } catch (const std::exception& e) {
        LOGE("%s", e.what());
    }
}

bool UpdateManager::m_CheckPriorityUpdateValidation(std::string& reason) {
    try {
        std::string homeStatus;
        if (!VconfUtil::ReadVconfStr(keys::HOME_PRIORITY_UPDATE_STATUS, homeStatus)) {
            reason = "return vconf fail";
            LOGE("%s", reason.c_str());
            return false;
        }
        if (homeStatus == "start") {
            reason = "priority home update status already start";
            LOGE("%s", reason.c_str());
            return false;
        }
        int syncStatus = 0;
        if (pax_get_apps_sync_status(&syncStatus) != 0) {
            reason = "fail to get apps sync status";
            return false;
        }
        if (static_cast<unsigned>(syncStatus) <= 1) {
            reason = "sync status is init or start";
            return false;
        }
        std::string biuStatus;
        if (!VconfUtil::ReadVconfStr(keys::PRIORITY_BIU_STATUS, biuStatus)) {
            reason = "return vconf fail";
            LOGE("%s", reason.c_str());
            return false;
        }
        for (const char* installing :
             {"priority0_installprogress", "priority0_installed", "priority0_installfailed"}) {
            if (biuStatus.find(installing) != std::string::npos) {
                reason = "priority biu status is on install";
                LOGE("%s", reason.c_str());
                return false;
            }
        }
        return true;
    } catch (const std::exception& e) {
        LOGE("%s", e.what());
        return false;
    }
}

void UpdateManager::m_LaunchHomeUpdateView(const std::map<std::string, std::string>& extraData) {
    std::string fullscreenAppId;
    try {
        fullscreenAppId = VconfUtil::GetVconfStr(keys::CURRENT_FULLSCREEN_APPID);
    } catch (const std::exception& e) {
        // Nothing says the view already fills the screen, so it is launched: a second launch
        // of a running view only brings it forward, while a missing one would hide the update.
        LOGE("%s", e.what());
    }
    if (fullscreenAppId == HOME_UPDATE_VIEW_APP_ID) {
        LOGI("%s => fullscreen app", fullscreenAppId.c_str());
        return;
    }
    AppControlUtil::SendAppControl(HOME_UPDATE_VIEW_APP_ID, extraData,
                                   "Failed to launch homeupdateview");
}

void UpdateManager::m_LaunchLoadingUI() {
    m_LaunchHomeUpdateView({{"LaunchReason", "LoadingUI"}});
}

void UpdateManager::m_LaunchStopUI(std::string statusText) {
    std::map<std::string, std::string> extraData;
    extraData["LaunchReason"] = "StopUI";
    extraData["StopUI"] = std::move(statusText);
    std::string homeStatus;
    bool readable = VconfUtil::ReadVconfStr(keys::HOME_PRIORITY_UPDATE_STATUS, homeStatus);
    extraData["PriorityUpdate"] = readable && homeStatus == "start" ? "true" : "false";
    m_LaunchHomeUpdateView(extraData);
}
