// A priority update as the test process sees it, standing in for the running service: what it
// sets up and how it reads back what was done.
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>
#include <vconf.h>

#include <string>
#include <vector>

#include "AppDetail.h"
#include "Constants.h"
#include "HiddenMode.h"
#include "HomeResetManager.h"
#include "HostCore.h"
#include "LocaleTextUtil.h"
#include "ResetManager.h"
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
const std::string MAJOR_FILE = "store/major_file_info.json";

inline std::string MajorInfo(const std::string& version, const std::string& group) {
    return R"({"id":")" + HOME_APP_ID + R"(","version":")" + version + R"(","targetGroupType":")" +
           group + R"(","maxRetryCount":3})";
}

// Stands in for the running service: serves its id for the test's lifetime (so notification and
// power events reach the test), on a device whose store offers 2.0.0 of the home.
class UpdateFlowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tvhost::SetSelfAppId(BRENWICK_APP_ID);
        ASSERT_EQ(0, tvhost::ServeApp(BRENWICK_APP_ID));
        device.Write(MAJOR_FILE, MajorInfo("2.0.0", "normal"));
    }
    // Whichever managers the test made go.
    void TearDown() override {
        Singleton<UpdateManager>::DestoryInstance();
        Singleton<UpdateStatusMonitor>::DestoryInstance();
        Singleton<AppDetail>::DestoryInstance();
        Singleton<TriggerHomeVersion>::DestoryInstance();
        Singleton<HiddenMode>::DestoryInstance();
        Singleton<ResetManager>::DestoryInstance();
        Singleton<HomeResetManager>::DestoryInstance();
        Singleton<LocaleTextParser>::DestoryInstance();
        tvhost::StopServing();
    }

    std::string ViewLaunches() { return device.Launches(HOME_UPDATE_VIEW_APP_ID); }
    // Posts of notifications with an event callback (the home update notification) or without
    // (the hidden test mode's); only posts carry the flag.
    std::vector<Json::Value> Posts(bool withEventCallback) {
        return device.Entries("notification.jsonl", "event_cb", withEventCallback);
    }
    // The string value of a key, "" when absent.
    std::string StrKey(const std::string& key) {
        std::string raw = device.Key(key);
        return raw.rfind("s:", 0) == 0 ? raw.substr(2) : "";
    }
    // Writes the key file behind the watchers' back: no callback follows.
    void SetKeyQuietly(const std::string& key, const std::string& value) {
        device.Write("kdb/" + key, "s:" + value);
    }

    TestDevice device;
};

}  // namespace updateflow
