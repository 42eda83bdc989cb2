#include "UpdateStatusMonitor.h"

#include <exception>

#include "EntryGuard.h"
#include "Log.h"
#include "PlatformKeys.h"
#include "VconfUtil.h"

namespace {
// The amount in "needed_space:AMOUNT[/MORE]". An amount that is missing, not a number or too
// large for an int gives false: the store service only writes this status when space runs
// short, so the caller treats an unreadable amount as "space needed" rather than as 0.
bool ReadNeededSpace(const std::string& value, int& amount) {
    std::string text = value;
    size_t colon = text.find(':');
    if (colon != std::string::npos)
        text = text.substr(colon + 1);
    size_t slash = text.find('/');
    if (slash != std::string::npos)
        text.resize(slash);
    try {
        amount = std::stoi(text);
        return true;
    } catch (const std::exception& e) {
        LOGE("needed space is not readable: %s", e.what());
        return false;
    }
}
}  // namespace

UpdateStatusMonitor::UpdateStatusMonitor() {
    LOGD("const");
    m_pStoreStatusWatch =
        PlatformRegistration::WatchKey(keys::PRIORITY_BIU_STATUS, m_OnVconfCallback, this);
    m_pHomeStatusWatch =
        PlatformRegistration::WatchKey(keys::HOME_PRIORITY_UPDATE_STATUS, m_OnVconfCallback, this);
}

UpdateStatusMonitor::~UpdateStatusMonitor() {
    LOGD("dest");
    m_pStoreStatusWatch.reset();
    m_pHomeStatusWatch.reset();
}

void UpdateStatusMonitor::SetUpdateStatusChangedCallback(UpdateStatusChangedCallback callback,
                                                         void* pUserData) {
    LOGI("Set Update Status callback");
    if (m_updateStatusSlot.first != nullptr) {
        LOGI("Callback is exist");
        return;
    }
    m_updateStatusSlot = {callback, pUserData};
}

void UpdateStatusMonitor::SetUpdatPriorityStatusChangedCallback(
    UpdatePriorityStatusChangedCallback callback, void* pUserData) {
    LOGI("Set Update Priority Status callback");
    if (m_updatePriorityStatusSlot.first != nullptr) {
        LOGI("Callback is exist");
        return;
    }
    m_updatePriorityStatusSlot = {callback, pUserData};
}

void UpdateStatusMonitor::SetRequestStatusChangedCallback(RequestStatusChangedCallback callback,
                                                          void* pUserData) {
    LOGI("Set Request Status callback");
    if (m_requestStatusSlot.first != nullptr) {
        LOGI("Callback is exist");
        return;
    }
    m_requestStatusSlot = {callback, pUserData};
}

void UpdateStatusMonitor::UnsetUpdateStatusChangedCallback(UpdateStatusChangedCallback callback) {
    if (m_updateStatusSlot.first != callback) {
        LOGI("callback is not registered");
        return;
    }
    LOGI("Unset Update Status callback");
    m_updateStatusSlot = {nullptr, nullptr};
}

void UpdateStatusMonitor::UnsetUpdatePriorityStatusChangedCallback(
    UpdatePriorityStatusChangedCallback callback) {
    if (m_updatePriorityStatusSlot.first != callback) {
        LOGI("callback is not registered");
        return;
    }
    LOGI("Unset Update Priority Status callback");
    m_updatePriorityStatusSlot = {nullptr, nullptr};
}

void UpdateStatusMonitor::UnsetRequestStatusChangedCallback(RequestStatusChangedCallback callback) {
    if (m_requestStatusSlot.first != callback) {
        LOGI("callback is not registered");
        return;
    }
    LOGI("Unset Request Status callback");
    m_requestStatusSlot = {nullptr, nullptr};
}

void UpdateStatusMonitor::SetUserRequestStatus(REQUEST_STATUS status, const std::string& unused) {
    (void)unused;
    auto answer = requestValuesMap.find(status);
    // A status without a word (NONE, or a number from a malformed request) has nothing to tell
    // the store service, and the manager has no answer to act on: it is refused with a line of
    // its own, and neither the key nor the request callback is touched.
    if (answer == requestValuesMap.end()) {
        LOGE("Not defined request status %d", static_cast<int>(status));
        return;
    }

    std::string current;
    if (!VconfUtil::ReadVconfStr(keys::PRIORITY_BIU_STATUS, current)) {
        LOGE("%s is null", keys::PRIORITY_BIU_STATUS);
        return;
    }
    // The store service has already given up waiting; an answer now would restart nothing.
    if (current == statusValuesMap.at(CANCEL_BY_TIMER)) {
        LOGE("priority_biu_status is cancel_by_timer. Do not set %s", answer->second.c_str());
        return;
    }

    vconf_set_str(keys::PRIORITY_BIU_STATUS, answer->second.c_str());
    m_NotifyRequestStatusChanged(status, answer->second);
}

PRIORITY_BIU_STATUS UpdateStatusMonitor::GetUpgradeStatus() {
    std::string current;
    if (!VconfUtil::ReadVconfStr(keys::PRIORITY_BIU_STATUS, current)) {
        LOGE("%s is null", keys::PRIORITY_BIU_STATUS);
        return BIU_STATUS_EMPTY;
    }
    return m_ConverToPriorityBIUStatus(current);
}

void UpdateStatusMonitor::m_OnVconfCallback(keynode_t* pNode, void* pUserData) try {
    if (pUserData == nullptr) {
        LOGE("data is null");
        return;
    }
    if (pNode == nullptr) {
        LOGE("keynode_t is null");
        return;
    }
    const char* pChangedValue = vconf_keynode_get_str(pNode);
    if (pChangedValue == nullptr) {
        LOGE("pChangedValue is null");
        return;
    }
    LOGI("changedValue : %s", pChangedValue);
    const char* pKeyName = vconf_keynode_get_name(pNode);
    LOGI("keyName : %s", pKeyName != nullptr ? pKeyName : "");
    if (pKeyName == nullptr || pKeyName[0] == '\0') {
        LOGE("key name is empty");
        return;
    }

    auto* pMonitor = static_cast<UpdateStatusMonitor*>(pUserData);
    std::string keyName = pKeyName;
    if (keyName == keys::PRIORITY_BIU_STATUS) {
        pMonitor->m_PriorityBIUStatusCallback(pChangedValue);
    } else if (keyName == keys::HOME_PRIORITY_UPDATE_STATUS) {
        pMonitor->m_HomePriorityUpdateStatusCallback(pChangedValue);
    } else {
        LOGE("Not defined key");
    }
} catch (...) {
    LOG_ESCAPED_EXCEPTION();
}

PRIORITY_BIU_STATUS UpdateStatusMonitor::m_ConverToPriorityBIUStatus(const std::string& value) {
    if (value.empty())
        return BIU_STATUS_EMPTY;
    // The store service may append details (e.g. an amount), so a word anywhere in the value
    // counts; the lowest status wins when several occur.
    for (const auto& entry : statusValuesMap) {
        if (value.find(entry.second) != std::string::npos)
            return entry.first;
    }
    LOGE("Not defined value. %s", value.c_str());
    return BIU_STATUS_NOT_DEFINED;
}

void UpdateStatusMonitor::m_PriorityBIUStatusCallback(const std::string& value) {
    PRIORITY_BIU_STATUS status = m_ConverToPriorityBIUStatus(value);

    // A need of 0 is no shortage and is not passed on; an unreadable amount is delivered
    // unchanged, so the manager sees what the store service wrote.
    bool notify = true;
    int amount = 0;
    if (status == NEEDED_SPACE && ReadNeededSpace(value, amount)) {
        if (amount == 0)
            notify = false;
        else
            LOGE("needed space: %d", amount);
    }
    if (notify)
        m_NotifyUpdateStatusChanged(status, value);

    // Other applications read the store service's progress from this cache.
    if (status >= PRIORITY0_START && status <= INSTALL_LATER) {
        LOGE("Set cache %s", value.c_str());
        vconf_set_str(keys::HOME_UPDATE_STATE, value.c_str());
    }
}

void UpdateStatusMonitor::m_HomePriorityUpdateStatusCallback(const std::string& value) {
    if (value == updatePriorityValuesMap.at(PRIORITY_UPDATE_START)) {
        m_NotifyUpdatePriorityStatusChanged(PRIORITY_UPDATE_START, value);
    } else if (value == updatePriorityValuesMap.at(PRIORITY_UPDATE_READY)) {
        m_NotifyUpdatePriorityStatusChanged(PRIORITY_UPDATE_READY, value);
    }
}

void UpdateStatusMonitor::m_NotifyUpdateStatusChanged(PRIORITY_BIU_STATUS status,
                                                      const std::string& value) {
    if (m_updateStatusSlot.first == nullptr) {
        LOGE("No callback");
        return;
    }
    m_updateStatusSlot.first(status, value, m_updateStatusSlot.second);
}

void UpdateStatusMonitor::m_NotifyUpdatePriorityStatusChanged(HOME_PRIORITY_UPDATE_STATUS status,
                                                              const std::string& value) {
    (void)value;
    if (m_updatePriorityStatusSlot.first == nullptr) {
        LOGE("No callback");
        return;
    }
    m_updatePriorityStatusSlot.first(status, m_updatePriorityStatusSlot.second);
}

void UpdateStatusMonitor::m_NotifyRequestStatusChanged(REQUEST_STATUS status,
                                                       const std::string& value) {
    LOGE("REQUEST_STATUS %s", value.c_str());
    if (m_requestStatusSlot.first == nullptr) {
        LOGE("No callback");
        return;
    }
    m_requestStatusSlot.first(status, m_requestStatusSlot.second);
}
