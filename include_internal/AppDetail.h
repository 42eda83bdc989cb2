// The description of a pending Home version: fetched from the store server on a worker thread,
// kept in memory and in a cache file that survives restarts.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "Singleton.h"

class AppDetail : public Singleton<AppDetail> {
  public:
    AppDetail();
    virtual ~AppDetail();

    // Starts a fetch for the pair unless one is open for it; waits for an earlier worker first.
    void Update(std::string appId, std::string appVersion);
    // The cached description when `version` is the cached version, "" otherwise.
    std::string GetDescription(const std::string& version);

  private:
    void m_RequestThreadFunction(const std::string& appId, const std::string& appVersion);
    void m_CloseRequestRecord(const std::string& appId, const std::string& appVersion);
    bool m_Request(const std::string& appId, const std::string& appVersion, std::string& response);
    bool m_Parse(const std::string& response);
    void m_Save();
    void m_SaveCache();
    void m_LoadCache();
    void m_DeleteCache();
    std::string m_CachePath() const;

    const std::string m_apiPath = "/apps/sync/v1/update/";
    const std::string m_cacheFileName = "appDetail";
    // The cached detail: written by the worker, read on the main loop, so always under
    // m_cacheMutex.
    std::string m_version;
    std::string m_rawData;
    std::string m_description;
    std::thread m_requestThread;
    std::mutex m_threadMutex;  // guards the request record below and nothing else
    bool m_isThreadRunning = false;
    std::atomic<bool> m_isStopRequested{false};
    std::string m_threadAppId;
    std::string m_threadAppVersion;
    mutable std::mutex m_cacheMutex;
};
