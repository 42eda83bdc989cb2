#include <vconf.h>

#include <utility>

#include "PlatformKeys.h"
#include "TestDevice.h"
#include "UpdateStatusMonitor.h"

namespace {

const std::string NO_CHANGE = "s:untouched";
const std::string ONE_MIB(1 << 20, 'a');

using Updates = std::vector<std::pair<int, std::string>>;

// What the two callbacks received, in order.
struct Received {
    Updates updates;
    std::vector<int> requests;
};

void OnUpdate(PRIORITY_BIU_STATUS status, std::string value, void* pUserData) {
    static_cast<Received*>(pUserData)->updates.emplace_back(status, std::move(value));
}
void OnRequest(REQUEST_STATUS status, void* pUserData) {
    static_cast<Received*>(pUserData)->requests.push_back(status);
}

// A television whose monitor has its store-status and request callbacks registered.
struct Monitored {
    Monitored() {
        monitor->SetUpdateStatusChangedCallback(OnUpdate, &received);
        monitor->SetRequestStatusChangedCallback(OnRequest, &received);
    }
    ~Monitored() { UpdateStatusMonitor::DestoryInstance(); }

    // Writes the store status and runs the main loop until the monitor has handled the change;
    // the cache key starts from a sentinel so that "not cached" is visible.
    bool Deliver(const std::string& value) {
        vconf_set_str(keys::HOME_UPDATE_STATE, "untouched");
        received = Received{};
        int before = device.LogCount("keyName : ");
        vconf_set_str(keys::PRIORITY_BIU_STATUS, value.c_str());
        return device.Settle() && device.LogCount("keyName : ") > before;
    }

    TestDevice device;
    Received received;
    UpdateStatusMonitor* monitor = UpdateStatusMonitor::GetInstance();
};

// One monitor takes every value in turn: bad input must not stop it for the values after. Each
// status word, and which are cached, the store-status fuzz target's replayed inputs show; here,
// the lines logged and values no word list holds.
TEST(UpdateStatusMonitorTest, StoreStatusIsDeliveredAndCached) {
    struct {
        std::string value;
        int status;
        bool cached;
        const char* logLine;  // null: none expected
    } cases[] = {
        {"needed_space:1024/2048", NEEDED_SPACE, true, "needed space: 1024"},
        {"unknown", BIU_STATUS_NOT_DEFINED, false, "Not defined value. unknown"},
        {"\xff\xfe priority0_installed\nline two\n", PRIORITY0_INSTALLED, true, nullptr},
        {ONE_MIB, BIU_STATUS_NOT_DEFINED, false, "Not defined value. aaaa"},
    };
    Monitored m;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.substr(0, 40));
        ASSERT_TRUE(m.Deliver(c.value));
        EXPECT_EQ(Updates({{c.status, c.value}}), m.received.updates)
            << "delivered once, the value unchanged";
        EXPECT_EQ(c.cached ? "s:" + c.value : NO_CHANGE, m.device.Key(keys::HOME_UPDATE_STATE));
        if (c.logLine) {
            EXPECT_TRUE(m.device.LogHas(c.logLine)) << c.logLine;
        }
    }
}

TEST(UpdateStatusMonitorTest, UserAnswerIsWrittenAsItsWord) {
    struct {
        const char* keyBefore;
        REQUEST_STATUS status;
        const char* keyAfter;
        bool calledBack;
    } cases[] = {
        {"cancel_by_timer", UPDATE_NOW, "s:cancel_by_timer", false},
        {"cancel_by_timer2", UPDATE_NOW, "s:allow_install", true},
        {"priority0_downloaded", DO_NOT_UPDATE, "s:deny_install", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keyBefore);
        Monitored m;
        ASSERT_TRUE(m.Deliver(c.keyBefore));
        m.received.updates.clear();
        m.monitor->SetUserRequestStatus(c.status, "");
        EXPECT_EQ(c.calledBack ? std::vector<int>{c.status} : std::vector<int>{},
                  m.received.requests)
            << "the request callback runs inside the call";
        EXPECT_EQ(c.keyAfter, m.device.Key(keys::PRIORITY_BIU_STATUS));
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

void OnHomeStatus(HOME_PRIORITY_UPDATE_STATUS status, void* pUserData) {
    static_cast<std::vector<int>*>(pUserData)->push_back(status);
}

// A home status nobody listens to is only logged; a second listener for any callback is turned
// away, and the first keeps getting every change.
TEST(UpdateStatusMonitorTest, FirstListenerStaysAndAnUnheardHomeStatusIsLogged) {
    Monitored m;
    auto deliverHome = [&](const char* value) {
        int before = m.device.LogCount("keyName : ");
        vconf_set_str(keys::HOME_PRIORITY_UPDATE_STATUS, value);
        return m.device.Settle() && m.device.LogCount("keyName : ") > before;
    };
    ASSERT_TRUE(deliverHome("start"));
    EXPECT_EQ(1, m.device.LogCount("> No callback"));

    std::vector<int> first, second;
    Received turnedAway;
    m.monitor->SetUpdatPriorityStatusChangedCallback(OnHomeStatus, &first);
    m.monitor->SetUpdatPriorityStatusChangedCallback(OnHomeStatus, &second);
    m.monitor->SetUpdateStatusChangedCallback(OnUpdate, &turnedAway);
    m.monitor->SetRequestStatusChangedCallback(OnRequest, &turnedAway);
    EXPECT_EQ(3, m.device.LogCount("> Callback is exist"));

    ASSERT_TRUE(deliverHome("ready"));
    ASSERT_TRUE(m.Deliver("priority0_downloaded"));
    m.monitor->SetUserRequestStatus(UPDATE_NOW, "");
    EXPECT_EQ(std::vector<int>{PRIORITY_UPDATE_READY}, first);
    EXPECT_EQ(Updates({{PRIORITY0_DOWNLOADED, "priority0_downloaded"}}), m.received.updates);
    EXPECT_EQ(std::vector<int>{UPDATE_NOW}, m.received.requests);
    EXPECT_TRUE(second.empty() && turnedAway.updates.empty() && turnedAway.requests.empty());
}

}  // namespace
