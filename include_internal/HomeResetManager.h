// Carries out the Home application's request for a Home reset: marks it, records the installed
// Home version and reboots the set.
#pragma once

#include <vconf.h>

#include <memory>
#include <string>

#include "PlatformRegistration.h"
#include "Singleton.h"

class HomeResetManager : public Singleton<HomeResetManager> {
  public:
    HomeResetManager();
    virtual ~HomeResetManager();

    void Init();

  private:
    static void m_OnHomeResetStatusChanged(keynode_t* node, void* userData);
    void m_RequestHomeResetMode();
    bool m_CreateHomeResetFlagFile(const std::string& content);
    bool m_TrackHomeVersion();

    std::string m_homeResetFlagPath;
    std::string m_homeVersionTrackerPath;
    std::string m_homeResetFlagContent;
    std::unique_ptr<PlatformRegistration> m_pResetStatusWatch;
};
