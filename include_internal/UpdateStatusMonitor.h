// Turns changes of the two priority-update keys into typed callbacks, and carries the user's
// answer back to the store service.
#pragma once

#include <vconf.h>

#include <memory>
#include <string>
#include <utility>

#include "PlatformRegistration.h"
#include "Singleton.h"
#include "UpdateStatus.h"

using UpdateStatusChangedCallback = void (*)(PRIORITY_BIU_STATUS status, std::string value,
                                             void* pUserData);
using UpdatePriorityStatusChangedCallback = void (*)(HOME_PRIORITY_UPDATE_STATUS status,
                                                     void* pUserData);
using RequestStatusChangedCallback = void (*)(REQUEST_STATUS status, void* pUserData);

class UpdateStatusMonitor : public Singleton<UpdateStatusMonitor> {
    friend class Singleton<UpdateStatusMonitor>;

  public:
    void SetUpdateStatusChangedCallback(UpdateStatusChangedCallback callback, void* pUserData);
    void SetUpdatPriorityStatusChangedCallback(UpdatePriorityStatusChangedCallback callback,
                                               void* pUserData);
    void SetRequestStatusChangedCallback(RequestStatusChangedCallback callback, void* pUserData);

    void UnsetUpdateStatusChangedCallback(UpdateStatusChangedCallback callback);
    void UnsetUpdatePriorityStatusChangedCallback(UpdatePriorityStatusChangedCallback callback);
    void UnsetRequestStatusChangedCallback(RequestStatusChangedCallback callback);

    // Tells the store service the user's answer; the string is unused (callers pass "").
    void SetUserRequestStatus(REQUEST_STATUS status, const std::string& unused);
    // The store service's state as the key holds it now.
    PRIORITY_BIU_STATUS GetUpgradeStatus();

  protected:
    UpdateStatusMonitor();
    virtual ~UpdateStatusMonitor();

  private:
    static void m_OnVconfCallback(keynode_t* pNode, void* pUserData);
    static PRIORITY_BIU_STATUS m_ConverToPriorityBIUStatus(const std::string& value);

    void m_PriorityBIUStatusCallback(const std::string& value);
    void m_HomePriorityUpdateStatusCallback(const std::string& value);

    void m_NotifyUpdateStatusChanged(PRIORITY_BIU_STATUS status, const std::string& value);
    void m_NotifyUpdatePriorityStatusChanged(HOME_PRIORITY_UPDATE_STATUS status,
                                             const std::string& value);
    void m_NotifyRequestStatusChanged(REQUEST_STATUS status, const std::string& value);

    std::pair<UpdateStatusChangedCallback, void*> m_updateStatusSlot{nullptr, nullptr};
    std::pair<UpdatePriorityStatusChangedCallback, void*> m_updatePriorityStatusSlot{nullptr,
                                                                                     nullptr};
    std::pair<RequestStatusChangedCallback, void*> m_requestStatusSlot{nullptr, nullptr};
    std::unique_ptr<PlatformRegistration> m_pStoreStatusWatch;
    std::unique_ptr<PlatformRegistration> m_pHomeStatusWatch;
};
