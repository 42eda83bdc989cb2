// Notices factory, service and portal resets and wipes the service's own data after one.
#pragma once

#include <vconf.h>

#include <memory>
#include <string>

#include "PlatformRegistration.h"
#include "Singleton.h"

class ResetManager : public Singleton<ResetManager> {
  public:
    ResetManager();
    virtual ~ResetManager();

    // True when a reset counter moved since the last check, or when the wipe of an earlier reset
    // was cut short; the new counts are recorded then.
    bool IsReset();
    // Empties the data and shared trusted directories, keeping the reset bookkeeping files.
    void DoReset();

  private:
    void m_LoadResetFlag();
    void m_SaveResetFlag(int factoryCount, int serviceCount, int portalCount);
    void m_DeleteAllFiles(const std::string& directory);
    // Empties the open directory at `path` (which only names it in the log).
    void m_RemoveDirectoryRecursive(int directory, const std::string& path);
    static void m_OnVconfCallback(keynode_t* node, void* userData);

    std::string m_fileName;
    std::string m_path;
    int m_cacheFR;
    int m_cacheSR;
    int m_cacheLPR;
    std::string m_wipePendingPath;
    // A wipe that the last run began but did not end.
    bool m_wipeOwed = false;
    std::unique_ptr<PlatformRegistration> m_pPortalResetWatch;
};
