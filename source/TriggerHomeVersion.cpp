#include "TriggerHomeVersion.h"

#include <json/json.h>
#include <pax_manager_api.h>

#include <cstdlib>
#include <exception>
#include <memory>

#include "CurrentHomeVersion.h"
#include "Log.h"
#include "ParseUtil.h"

namespace {
constexpr const char* ABTEST_GROUP = "abtest";
constexpr const char* DEFAULT_GROUP = "normal";

// Members of an unexpected type are rejected like missing ones: converting an object or a
// fractional count into a version or a retry limit would only invent a target.
bool IsValidMajorFileInfo(const Json::Value& info) {
    if (!info.isObject())
        return false;
    for (const char* name : {"id", "version", "targetGroupType"}) {
        if (!info.isMember(name) || !info[name].isString())
            return false;
    }
    return !info.isMember("maxRetryCount") || info["maxRetryCount"].isInt();
}
}  // namespace

TriggerHomeVersion::TriggerHomeVersion() {
    Update();
}

void TriggerHomeVersion::Update() {
    // Nothing of the previous target may survive a failed refresh.
    m_Clear();
    char* pRaw = nullptr;
    int result = pax_get_major_file_info(&pRaw);
    // Owned from here on every path, in case a failing call still handed out a text.
    std::unique_ptr<char, decltype(&free)> response(pRaw, &free);
    if (result == -1) {
        LOGE("pax_get_major_file_info failed");
    } else {
        m_response = response ? response.get() : "";
        m_Parse(response.get());
    }
    LOGE("%s, %s, %s", m_appId.c_str(), m_version.c_str(), m_targetGroupType.c_str());
}

void TriggerHomeVersion::m_UpdateTargetGroupTypeFlag() {
    LOGI("targetGroupType: %s", m_targetGroupType.c_str());
    if (m_targetGroupType == ABTEST_GROUP)
        CurrentHomeVersion::CreateABTest(m_response);
    else
        CurrentHomeVersion::DeleteABTest();
}

void TriggerHomeVersion::m_Clear() {
    m_response.clear();
    m_version.clear();
    m_targetGroupType.clear();
    m_appId.clear();
    m_maxRetryCount = 0;
}

void TriggerHomeVersion::m_Parse(const char* pResponse) {
    if (pResponse == nullptr || pResponse[0] == '\0') {
        LOGE("response is null or empty");
        return;
    }
    Json::Value info;
    std::string error;
    if (!ParseUtil::ParseJsonFromString(pResponse, info, error))
        return;
    try {
        if (!IsValidMajorFileInfo(info)) {
            LOGE("No valid response");
            return;
        }
        m_appId = info["id"].asString();
        m_version = info["version"].asString();
        m_targetGroupType = info["targetGroupType"].asString();
        m_maxRetryCount = info.get("maxRetryCount", 0).asInt();
    } catch (const std::exception& e) {
        LOGE("No valid response");
        LOGE("%s", e.what());
        return;
    }
    if (m_targetGroupType.empty()) {
        LOGE("targetGroupType is empty. Set Normal");
        m_targetGroupType = DEFAULT_GROUP;
    }
}
