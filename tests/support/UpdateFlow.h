// The test process standing in for the running service during a priority update: it serves
// the service's id (so notification and power events reach it) and reads back what was done.
#pragma once

#include <json/json.h>
#include <vconf.h>

#include <cctype>
#include <string>
#include <vector>

#include "AppDetail.h"
#include "Constants.h"
#include "HiddenMode.h"
#include "HostCore.h"
#include "Singleton.h"
#include "TestDevice.h"
#include "TriggerHomeVersion.h"
#include "UpdateManager.h"
#include "UpdateStatusMonitor.h"

namespace updateflow {

const std::string DATA = std::string("fs") + DATA_DIR;
const std::string TRUSTED = std::string("fs") + TRUSTED_DIR;
const std::string HOME_APP_ID = "com.talvoro.tv.zefo.home";

inline std::string MajorInfo(const std::string& version, const std::string& group,
                             int maxRetryCount = 3) {
    return R"({"id":")" + HOME_APP_ID + R"(","version":")" + version + R"(","targetGroupType":")" +
           group + R"(","maxRetryCount":)" + std::to_string(maxRetryCount) + "}";
}

// A readable test name for the row at `index`.
inline std::string RowName(std::string text, size_t index) {
    for (char& c : text) {
        if (!isalnum(static_cast<unsigned char>(c)))
            c = '_';
    }
    return text + "_" + std::to_string(index);
}

// "k=v;k=v" of a journal entry's extra data, in the order they were added.
inline std::string Extra(const Json::Value& entry) {
    std::string text;
    for (const auto& pair : entry["extra"]) {
        if (!text.empty())
            text += ";";
        text += pair[0].asString() + "=" + pair[1].asString();
    }
    return text;
}

inline std::vector<Json::Value> LaunchesTo(const TestDevice& device, const std::string& appId) {
    std::vector<Json::Value> found;
    for (const auto& entry : device.Journal("launch.jsonl")) {
        if (entry["app_id"].asString() == appId)
            found.push_back(entry);
    }
    return found;
}

// Posts of notifications with an event callback (the home update notification) or without
// (the hidden test mode's).
inline std::vector<Json::Value> Posts(const TestDevice& device, bool withEventCallback) {
    std::vector<Json::Value> found;
    for (const auto& entry : device.Journal("notification.jsonl")) {
        if (entry["op"] == "post" && entry["event_cb"].asBool() == withEventCallback)
            found.push_back(entry);
    }
    return found;
}

inline std::string ContentText(const Json::Value& post) {
    for (const auto& text : post["texts"]) {
        if (text["type"].asInt() == 1)
            return text["text"].asString();
    }
    return "";
}

inline std::vector<Json::Value> StoreCalls(const TestDevice& device, const std::string& call) {
    std::vector<Json::Value> found;
    for (const auto& entry : device.Journal("store.jsonl")) {
        if (entry["call"].asString() == call)
            found.push_back(entry);
    }
    return found;
}

// The string value of a key, "" when absent.
inline std::string StrKey(const TestDevice& device, const std::string& key) {
    std::string raw = device.Key(key);
    return raw.rfind("s:", 0) == 0 ? raw.substr(2) : "";
}

// Writes the key file behind the watchers' back: no callback follows.
inline void SetKeyQuietly(const TestDevice& device, const std::string& key,
                          const std::string& value) {
    device.Write("kdb/" + key, "s:" + value);
}

// Writes the store service's status and waits until the manager has handled it and whatever
// it wrote in turn has come back through the watchers.
inline bool DeliverStoreStatus(const TestDevice& device, const std::string& value) {
    int before = device.LogCount("m_OnHomeUpdateStatusChanged(");
    vconf_set_str("memory/pax/priority_biu_status", value.c_str());
    bool handled =
        RunLoopUntil([&] { return device.LogCount("m_OnHomeUpdateStatusChanged(") > before; });
    RunLoopFor(150);
    return handled;
}

// Serves the service's id for the test's lifetime and destroys the managers at its end.
class ServiceStandIn {
  public:
    ServiceStandIn() {
        tvhost::SetSelfAppId(BRENWICK_APP_ID);
        served = tvhost::ServeApp(BRENWICK_APP_ID) == 0;
    }
    ~ServiceStandIn() {
        Singleton<UpdateManager>::DestoryInstance();
        Singleton<UpdateStatusMonitor>::DestoryInstance();
        Singleton<AppDetail>::DestoryInstance();
        Singleton<TriggerHomeVersion>::DestoryInstance();
        Singleton<HiddenMode>::DestoryInstance();
        tvhost::StopServing();
    }
    bool served = false;
};

}  // namespace updateflow
