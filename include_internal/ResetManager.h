// Notices factory, service and portal resets and wipes the service's own data after one.
#pragma once

#include <vconf.h>

#include <string>

#include "Singleton.h"

class ResetManager : public Singleton<ResetManager> {
  public:
    ResetManager();
    virtual ~ResetManager();

    // True when a reset counter moved since the last check; the new counts are recorded then.
    bool IsReset();
    // Empties the data and shared trusted directories, keeping the reset bookkeeping files.
    void DoReset();

  private:
    void m_LoadResetFlag();
    void m_SaveResetFlag(int factoryCount, int serviceCount, int portalCount);
    void m_DeleteAllFiles(const std::string& directory);
    void m_RemoveDirectoryRecursive(const std::string& path, const std::string& root);
    static void m_OnVconfCallback(keynode_t* node, void* userData);

    std::string m_fileName;
    std::string m_path;
    int m_cacheFR;
    int m_cacheSR;
    int m_cacheLPR;
};
