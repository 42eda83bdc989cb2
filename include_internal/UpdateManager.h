// Decides, for every step of a priority Home update, what the user sees and what the store
// service is told.
#pragma once

#include <device_power.h>

#include <map>
#include <memory>
#include <string>

#include "Singleton.h"
#include "UpdateStatus.h"

class PlatformRegistration;
class Retry;
class UpdateStatusMonitor;

class UpdateManager : public Singleton<UpdateManager> {
  public:
    UpdateManager();
    virtual ~UpdateManager();

    // The "CheckUpdateValidation" request: start a requested update, or tell the user why not.
    void RequestForHomeUpdate();

  private:
    static void m_OnHomeUpdateStatusChanged(PRIORITY_BIU_STATUS status, std::string value,
                                            void* pUserData);
    static void m_OnHomePriorityUpdateStatusChanged(HOME_PRIORITY_UPDATE_STATUS status,
                                                    void* pUserData);
    static void m_OnUserRequestStatusChanged(REQUEST_STATUS status, void* pUserData);
    static int m_PowerStatusChanged(device_power_state_info* info, void* pUserData);
    // Withdraws the callbacks from the monitor (when there is one) and destroys the shared
    // objects the manager owns.
    static void m_ReleaseShared(UpdateStatusMonitor* monitor);

    bool m_CheckPriorityUpdateValidation(std::string& reason);

    static bool m_NeedToShowNotification();
    static bool m_IsNotificationRequiredCountry();
    static bool m_IsMajorUpdateCompleted();
    static bool m_CheckValidHomeVersion(const std::string& majorVersion,
                                        const std::string& installedVersion);

    static void m_LaunchHomeUpdateView(const std::map<std::string, std::string>& extraData);
    static void m_LaunchLoadingUI();
    static void m_LaunchStopUI(std::string statusText);

    void m_EndRequestedUpdate(const char* message, const std::string& statusText);
    void m_OnPriorityStart(const std::string& value);
    void m_OnDownloaded(const std::string& value);
    void m_OnEnd();

    std::unique_ptr<PlatformRegistration> m_pPowerSubscription;
    std::unique_ptr<Retry> m_pRequestRetry;
    std::unique_ptr<Retry> m_pUserRetry;
};
