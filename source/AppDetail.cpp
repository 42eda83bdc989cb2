#include "AppDetail.h"

#include <json/json.h>
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <map>
#include <stdexcept>

#include "Constants.h"
#include "FileUtil.h"
#include "HttpClient.h"
#include "Log.h"
#include "ParseUtil.h"
#include "PlatformKeys.h"
#include "VconfUtil.h"

namespace {

constexpr const char* CALLER_HEADER = "X-QX-Caller";
constexpr const char* CALLER_ID = "com.talvoro.tv.vemb";

static_assert(FileUtil::MAX_FILE_SIZE >= HttpClient::MAX_RESPONSE_SIZE,
              "a cached answer must be readable at the next start");

// Release notes are a few kilobytes; the whole body is logged, but only this much of it, so
// that a large answer cannot flood the platform log.
constexpr size_t MAX_LOGGED_BODY = 4096;

std::string LoggedBody(const std::string& body) {
    if (body.size() <= MAX_LOGGED_BODY)
        return body;
    return body.substr(0, MAX_LOGGED_BODY) + "... (" + std::to_string(body.size()) + " bytes)";
}

std::string NowMillis() {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
    return std::to_string(static_cast<unsigned long long>(millis));
}

}  // namespace

AppDetail::AppDetail() {
    m_LoadCache();
}

AppDetail::~AppDetail() {
    LOGE("Destroying AppDetail...");
    m_isStopRequested = true;
    if (m_requestThread.joinable()) {
        LOGE("request thread join");
        try {
            m_requestThread.join();
        } catch (const std::exception& e) {
            LOGI("Thread already joined: %s", e.what());
        }
    }
    LOGE("Finish");
}

void AppDetail::Update(std::string appId, std::string appVersion) {
    try {
        {
            std::lock_guard<std::mutex> lock(m_threadMutex);
            if (m_isThreadRunning) {
                if (appId == m_threadAppId && appVersion == m_threadAppVersion) {
                    LOGI("Same request is already in progress for appId: %s, appVersion: %s",
                         appId.c_str(), appVersion.c_str());
                    return;
                }
                LOGI("Joining previous thread for different appVersion (%s vs %s)",
                     m_threadAppVersion.c_str(), appVersion.c_str());
            }
            m_isThreadRunning = true;
            m_threadAppId = appId;
            m_threadAppVersion = appVersion;
        }
        if (m_requestThread.joinable()) {
            m_isStopRequested = true;
            LOGE("request thread join");
            try {
                m_requestThread.join();
            } catch (const std::exception& e) {
                LOGI("Thread already joined: %s", e.what());
            }
        }
        // Replacing a handle whose worker may still run would end the process.
        if (m_requestThread.joinable())
            throw std::runtime_error("previous request thread still running");
        m_isStopRequested = false;
        LOGI("[Request] appId: %s, appVersion: %s", appId.c_str(), appVersion.c_str());
        m_requestThread = std::thread(&AppDetail::m_RequestThreadFunction, this, appId, appVersion);
    } catch (const std::exception& e) {
        LOGI("[ERROR] %s", e.what());
    }
}

std::string AppDetail::GetDescription(const std::string& version) {
    std::lock_guard<std::mutex> lock(m_cacheMutex);
    if (version.empty() || version != m_version)
        return "";
    return m_description;
}

void AppDetail::m_RequestThreadFunction(const std::string& appId, const std::string& appVersion) {
    // What the transfer used, the body among it, is free once the worker ends: its pages go back
    // to the system then, instead of staying with the heap for as long as the service runs.
    struct PagesGivenBack {
        ~PagesGivenBack() { malloc_trim(0); }
    } pagesGivenBack;
    try {
        LOGE("appId: %s, appVersion: %s", appId.c_str(), appVersion.c_str());
        {
            std::lock_guard<std::mutex> lock(m_cacheMutex);
            if (m_version == appVersion) {
                LOGE("already updated (%s)", appVersion.c_str());
                return;
            }
            m_version.clear();
            m_rawData.clear();
            m_description.clear();
        }
        if (m_isStopRequested) {
            LOGE("Stop request thread");
            return;
        }
        std::string response;
        if (!m_Request(appId, appVersion, response)) {
            LOGE("Failed to update app detail in thread");
        } else {
            if (m_isStopRequested) {
                LOGE("Stop request thread");
                return;
            }
            if (m_Parse(response))
                m_Save();
        }
    } catch (const std::exception& e) {
        LOGE("Exception in request thread: %s", e.what());
    }
    m_CloseRequestRecord(appId, appVersion);
}

void AppDetail::m_CloseRequestRecord(const std::string& appId, const std::string& appVersion) {
    // Nothing may escape a thread's body: the process would end.
    try {
        std::lock_guard<std::mutex> lock(m_threadMutex);
        if (m_threadAppId != appId || m_threadAppVersion != appVersion) {
            LOGI("different data was set during thread running. skip clear thread data");
            return;
        }
        LOGI("Clear thread data");
        m_isThreadRunning = false;
        m_threadAppId.clear();
        m_threadAppVersion.clear();
    } catch (const std::exception& e) {
        LOGE("Exception in request thread: %s", e.what());
    }
}

bool AppDetail::m_Request(const std::string& appId, const std::string& appVersion,
                          std::string& response) {
    try {
        HttpClient client;
        client.SetHeader({{CALLER_HEADER, CALLER_ID}});

        std::map<std::string, std::string> params;
        params["timestamp"] = NowMillis();
        params["modelid"] = VconfUtil::GetVconfStr(keys::MODEL_ID);
        params["countrycode"] = VconfUtil::GetVconfStr(keys::COUNTRY_CODE);
        params["firmcode"] = VconfUtil::GetVconfStr(keys::FIRMWARE_VERSION);
        params["AppId"] = appId;
        params["AppVersion"] = appVersion;
        std::string apiPath = m_apiPath + appId + "/" + appVersion;

        if (!client.SetUrl(apiPath, params))
            return false;
        if (m_isStopRequested) {
            LOGE("Stop request thread");
            return false;
        }
        if (!client.SendHttpRequest(response)) {
            LOGE("%s", LoggedBody(response).c_str());
            return false;
        }
        LOGE("%s", LoggedBody(response).c_str());
        return true;
    } catch (const std::exception& e) {
        LOGE("failed to request Http : %s", e.what());
        return false;
    }
}

bool AppDetail::m_Parse(const std::string& response) {
    if (response.empty()) {
        LOGE("response is null or empty");
        return false;
    }
    Json::Value parsed;
    std::string error;
    if (!ParseUtil::ParseJsonFromString(response, parsed, error))
        return false;
    const Json::Value& root = parsed;
    try {
        if (!root.isMember("rsp")) {
            LOGE("No rsp value in response");
            return false;
        }
        const Json::Value& rsp = root["rsp"];
        if (!rsp.isMember("stat")) {
            LOGE("No Status value in response");
            return false;
        }
        if (rsp["stat"].asString() != "ok") {
            LOGE("Status is not ok");
            return false;
        }
        if (!rsp.isMember("app") || !rsp["app"].isMember("description")) {
            LOGE("No description in response");
            return false;
        }
        const Json::Value& app = rsp["app"];
        std::lock_guard<std::mutex> lock(m_cacheMutex);
        m_rawData = response;
        m_version = app["version"].asString();
        m_description = app["description"].asString();
        return true;
    } catch (const std::exception& e) {
        LOGE("%s", e.what());
        std::lock_guard<std::mutex> lock(m_cacheMutex);
        LOGE("%s", LoggedBody(m_rawData).c_str());
        return false;
    }
}

void AppDetail::m_Save() {
    if (m_isStopRequested) {
        LOGE("Stop request thread");
        return;
    }
    m_SaveCache();
}

void AppDetail::m_SaveCache() {
    LOGI("SaveCache");
    try {
        std::string rawData;
        {
            std::lock_guard<std::mutex> lock(m_cacheMutex);
            rawData = m_rawData;
        }
        // A crash while writing must leave the previous detail, never half a file.
        FileStatus status = FileUtil::WriteOwnFile(m_CachePath(), rawData);
        if (!status) {
            LOGE("Failed to save %s: %s", m_cacheFileName.c_str(), status.ErrorText().c_str());
            return;
        }
        LOGI("%s is generated", m_cacheFileName.c_str());
    } catch (const std::exception& e) {
        LOGE("Failed to save %s: %s", m_cacheFileName.c_str(), e.what());
    }
}

void AppDetail::m_LoadCache() {
    try {
        std::string path = m_CachePath();
        if (!FileUtil::NameExists(path)) {
            LOGE("File Not Exist %s", m_cacheFileName.c_str());
            return;
        }
        std::string text;
        if (!FileUtil::ReadFile(path, text)) {
            LOGE("Failed to open %s", m_cacheFileName.c_str());
            return;
        }
        if (!m_Parse(text))
            m_DeleteCache();
    } catch (const std::exception& e) {
        LOGE("Failed to load %s. %s", m_cacheFileName.c_str(), e.what());
    }
}

void AppDetail::m_DeleteCache() {
    std::string path = m_CachePath();
    if (FileUtil::RemoveOwnFile(path)) {
        LOGI("File deleted successfully: [%s]:", path.c_str());
    } else {
        LOGE("Error deleting file [%s] ", path.c_str());
    }
}

std::string AppDetail::m_CachePath() const {
    return FileUtil::DevicePath(std::string(TRUSTED_DIR) + m_cacheFileName);
}
