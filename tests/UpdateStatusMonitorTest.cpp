#include <gtest/gtest.h>
#include <vconf.h>

#include <string>
#include <utility>
#include <vector>

#include "PlatformKeys.h"
#include "TestDevice.h"
#include "UpdateStatusMonitor.h"

namespace {

const std::string NO_CHANGE = "s:untouched";
const std::string ONE_MIB(1 << 20, 'a');

// What the three callbacks received, in order.
struct Received {
    std::vector<std::pair<int, std::string>> updates;
    std::vector<int> priorities;
    std::vector<int> requests;
};

void OnUpdate(PRIORITY_BIU_STATUS status, std::string value, void* pUserData) {
    static_cast<Received*>(pUserData)->updates.emplace_back(status, std::move(value));
}
void OnPriority(HOME_PRIORITY_UPDATE_STATUS status, void* pUserData) {
    static_cast<Received*>(pUserData)->priorities.push_back(status);
}
void OnRequest(REQUEST_STATUS status, void* pUserData) {
    static_cast<Received*>(pUserData)->requests.push_back(status);
}
void OnRequestOther(REQUEST_STATUS, void*) {}

// A television whose monitor has all three callbacks registered.
struct Monitored {
    Monitored() {
        monitor->SetUpdateStatusChangedCallback(OnUpdate, &received);
        monitor->SetUpdatPriorityStatusChangedCallback(OnPriority, &received);
        monitor->SetRequestStatusChangedCallback(OnRequest, &received);
    }
    ~Monitored() { UpdateStatusMonitor::DestoryInstance(); }

    // Writes the key and runs the main loop until the monitor has handled the change; the cache
    // key starts from a sentinel so that "not cached" is visible.
    bool Deliver(const char* key, const std::string& value) {
        vconf_set_str(keys::HOME_UPDATE_STATE, "untouched");
        received = Received{};
        std::string handled = std::string("keyName : ") + key;
        int before = device.LogCount(handled);
        vconf_set_str(key, value.c_str());
        return RunLoopUntil([&] { return device.LogCount(handled) > before; });
    }

    TestDevice device;
    Received received;
    UpdateStatusMonitor* monitor = UpdateStatusMonitor::GetInstance();
};

// One monitor takes every value in turn: bad input must not stop it for the values after.
TEST(UpdateStatusMonitorTest, StoreStatusIsDeliveredAndCached) {
    struct {
        std::string value;
        bool delivered;
        int status;
        bool cached;
        const char* logLine;  // null: none expected
    } cases[] = {
        {"needed_space:0", false, 0, true, nullptr},
        {"needed_space:1024/2048", true, NEEDED_SPACE, true, "needed space: 1024"},
        {"priority0_failed", true, PRIORITY0_FAILED, false, nullptr},
        {"priority1_end", true, PRIORITY1_END, false, nullptr},
        {"x_allow_install_y", true, ALLOW_INSTALL, true, nullptr},
        {"", true, BIU_STATUS_EMPTY, false, nullptr},
        {"unknown", true, BIU_STATUS_NOT_DEFINED, false, "Not defined value. unknown"},
        {"needed_space:abc", true, NEEDED_SPACE, true, "needed space is not readable"},
        {"needed_space:99999999999999", true, NEEDED_SPACE, true, "needed space is not readable"},
        {"priority0_downloaded\nline two\n", true, PRIORITY0_DOWNLOADED, true, nullptr},
        {"\xff\xfe priority0_installed \xc3", true, PRIORITY0_INSTALLED, true, nullptr},
        {ONE_MIB, true, BIU_STATUS_NOT_DEFINED, false, "Not defined value. aaaa"},
        {ONE_MIB + "deny_install", true, DENY_INSTALL, true, nullptr},
    };
    Monitored m;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.substr(0, 40));
        ASSERT_TRUE(m.Deliver(keys::PRIORITY_BIU_STATUS, c.value));
        if (c.delivered) {
            ASSERT_EQ(1u, m.received.updates.size());
            EXPECT_EQ(c.status, m.received.updates[0].first);
            EXPECT_EQ(c.value, m.received.updates[0].second) << "the value arrives unchanged";
        } else {
            EXPECT_TRUE(m.received.updates.empty());
        }
        EXPECT_EQ(c.cached ? "s:" + c.value : NO_CHANGE, m.device.Key(keys::HOME_UPDATE_STATE));
        if (c.logLine) {
            EXPECT_TRUE(m.device.LogHas(c.logLine)) << c.logLine;
        }
    }
}

TEST(UpdateStatusMonitorTest, HomeStatusDeliversOnlyStartAndReady) {
    struct {
        const char* value;
        int priority;  // -1: not delivered
    } cases[] = {{"start", PRIORITY_UPDATE_START},
                 {"ready", PRIORITY_UPDATE_READY},
                 {"done", -1},
                 {"none", -1},
                 {"Start", -1}};
    Monitored m;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        ASSERT_TRUE(m.Deliver(keys::HOME_PRIORITY_UPDATE_STATUS, c.value));
        EXPECT_EQ(c.priority < 0 ? std::vector<int>{} : std::vector<int>{c.priority},
                  m.received.priorities);
        EXPECT_TRUE(m.received.updates.empty());
        EXPECT_EQ(NO_CHANGE, m.device.Key(keys::HOME_UPDATE_STATE));
    }
}

TEST(UpdateStatusMonitorTest, UserAnswerIsWrittenAsItsWord) {
    struct {
        const char* keyBefore;
        int status;
        const char* keyAfter;
        bool calledBack;
        const char* logLine;
    } cases[] = {
        {"cancel_by_timer", UPDATE_NOW, "s:cancel_by_timer", false,
         "priority_biu_status is cancel_by_timer. Do not set allow_install"},
        {"cancel_by_timer2", UPDATE_NOW, "s:allow_install", true, "REQUEST_STATUS allow_install"},
        {"priority0_downloaded", DO_NOT_UPDATE, "s:deny_install", true,
         "REQUEST_STATUS deny_install"},
        {"priority0_downloaded", 7, "s:priority0_downloaded", false,
         "Not defined request status 7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logLine);
        Monitored m;
        ASSERT_TRUE(m.Deliver(keys::PRIORITY_BIU_STATUS, c.keyBefore));
        m.received.updates.clear();
        m.monitor->SetUserRequestStatus(static_cast<REQUEST_STATUS>(c.status), "");
        EXPECT_EQ(c.calledBack ? std::vector<int>{c.status} : std::vector<int>{},
                  m.received.requests)
            << "the request callback runs inside the call";
        EXPECT_EQ(c.keyAfter, m.device.Key(keys::PRIORITY_BIU_STATUS));
        EXPECT_TRUE(m.device.LogHas(c.logLine));
        if (!c.calledBack)
            continue;
        // The service's own write comes back through the watch, later, and is cached.
        EXPECT_TRUE(m.received.updates.empty());
        ASSERT_TRUE(RunLoopUntil([&] { return !m.received.updates.empty(); }));
        EXPECT_EQ(c.status == UPDATE_NOW ? ALLOW_INSTALL : DENY_INSTALL,
                  m.received.updates[0].first);
        EXPECT_EQ(c.keyAfter, m.device.Key(keys::HOME_UPDATE_STATE));
    }
}

TEST(UpdateStatusMonitorTest, SlotsRefuseOverwriteAndForeignUnset) {
    Monitored m;
    m.monitor->SetRequestStatusChangedCallback(OnRequestOther, nullptr);
    EXPECT_EQ(1, m.device.LogCount("Callback is exist"));
    m.monitor->UnsetRequestStatusChangedCallback(OnRequestOther);
    EXPECT_EQ(1, m.device.LogCount("callback is not registered"));

    vconf_set_str(keys::PRIORITY_BIU_STATUS, "priority0_downloaded");
    m.monitor->SetUserRequestStatus(UPDATE_LATER, "");
    EXPECT_EQ(std::vector<int>{UPDATE_LATER}, m.received.requests) << "the first pair stays";

    m.monitor->UnsetRequestStatusChangedCallback(OnRequest);
    m.monitor->SetUserRequestStatus(UPDATE_LATER, "");
    EXPECT_EQ(1u, m.received.requests.size());
    EXPECT_TRUE(m.device.LogHas("No callback"));
}

}  // namespace
