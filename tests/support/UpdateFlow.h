// The test process standing in for the running service during a priority update: it serves
// the service's id (so notification and power events reach it) and reads back what was done.
#pragma once

#include <json/json.h>
#include <vconf.h>

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
const std::string BIU_STATUS = "memory/pax/priority_biu_status";

inline std::string MajorInfo(const std::string& version, const std::string& group) {
    return R"({"id":")" + HOME_APP_ID + R"(","version":")" + version + R"(","targetGroupType":")" +
           group + R"(","maxRetryCount":3})";
}

// "k=v;k=v" of a journal entry's extra data, in the order they were added.
inline std::string Extra(const Json::Value& entry) {
    std::string text;
    for (const auto& pair : entry["extra"])
        text += (text.empty() ? "" : ";") + pair[0].asString() + "=" + pair[1].asString();
    return text;
}

// Entries of a journal whose `field` holds `value`.
inline std::vector<Json::Value> Entries(const TestDevice& device, const std::string& journal,
                                        const std::string& field, const Json::Value& value) {
    std::vector<Json::Value> found;
    for (const auto& entry : device.Journal(journal)) {
        if (entry[field] == value)
            found.push_back(entry);
    }
    return found;
}

inline std::vector<Json::Value> LaunchesTo(const TestDevice& device, const std::string& appId) {
    return Entries(device, "launch.jsonl", "app_id", appId);
}

// Posts of notifications with an event callback (the home update notification) or without
// (the hidden test mode's).
inline std::vector<Json::Value> Posts(const TestDevice& device, bool withEventCallback) {
    std::vector<Json::Value> found;
    for (const auto& entry : Entries(device, "notification.jsonl", "op", "post")) {
        if (entry["event_cb"].asBool() == withEventCallback)
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
    vconf_set_str(BIU_STATUS.c_str(), value.c_str());
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
