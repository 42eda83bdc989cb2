// What the store service announces about the Home version a priority update installs.
#pragma once

#include <string>

#include "Singleton.h"

class TriggerHomeVersion : public Singleton<TriggerHomeVersion> {
    friend class Singleton<TriggerHomeVersion>;

  public:
    // Fetches the major file info again; a failure leaves every field empty.
    void Update();

    std::string GetVersion() const { return m_version; }
    const std::string& GetAppId() const { return m_appId; }
    const std::string& GetTargetGroupType() const { return m_targetGroupType; }
    int GetMaxRetryCount() const { return m_maxRetryCount; }
    const std::string& GetResponse() const { return m_response; }

    // Called by the update manager once the update to this target has completed.
    void m_UpdateTargetGroupTypeFlag();
    void m_Clear();

  protected:
    TriggerHomeVersion();
    virtual ~TriggerHomeVersion() = default;

  private:
    void m_Parse(const char* pResponse);

    std::string m_response;
    std::string m_version;
    std::string m_targetGroupType;
    std::string m_appId;
    int m_maxRetryCount = 0;
};
