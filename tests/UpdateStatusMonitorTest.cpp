#include <gtest/gtest.h>
#include <vconf.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "PlatformKeys.h"
#include "TestDevice.h"
#include "UpdateStatusMonitor.h"

namespace {

const std::string NO_CHANGE = "s:untouched";

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

class MonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The cache key starts with a sentinel so that "not cached" is visible.
        vconf_set_str(keys::HOME_UPDATE_STATE, "untouched");
        monitor = UpdateStatusMonitor::GetInstance();
        monitor->SetUpdateStatusChangedCallback(OnUpdate, &received);
        monitor->SetUpdatPriorityStatusChangedCallback(OnPriority, &received);
        monitor->SetRequestStatusChangedCallback(OnRequest, &received);
    }
    void TearDown() override { UpdateStatusMonitor::DestoryInstance(); }

    // Writes the key and runs the main loop until the monitor has handled the change.
    void Deliver(const char* key, const std::string& value) {
        std::string handled = std::string("keyName : ") + key;
        int before = device.LogCount(handled);
        vconf_set_str(key, value.c_str());
        ASSERT_TRUE(RunLoopUntil([&] { return device.LogCount(handled) > before; }))
            << "no change of " << key << " arrived";
    }

    TestDevice device;
    Received received;
    UpdateStatusMonitor* monitor = nullptr;
};

struct StoreCase {
    const char* name;
    std::string value;
    bool delivered;
    int status;
    bool cached;
    const char* logLine;  // null: none expected
};
void PrintTo(const StoreCase& c, std::ostream* os) {
    *os << c.name;
}

class StoreStatusTest : public MonitorTest, public ::testing::WithParamInterface<StoreCase> {};

TEST_P(StoreStatusTest, DeliversAndCaches) {
    const StoreCase& c = GetParam();
    Deliver(keys::PRIORITY_BIU_STATUS, c.value);

    if (c.delivered) {
        ASSERT_EQ(1u, received.updates.size());
        EXPECT_EQ(c.status, received.updates[0].first);
        EXPECT_EQ(c.value, received.updates[0].second) << "the value arrives unchanged";
    } else {
        EXPECT_TRUE(received.updates.empty());
    }
    EXPECT_EQ(c.cached ? "s:" + c.value : NO_CHANGE, device.Key(keys::HOME_UPDATE_STATE));
    if (c.logLine) {
        EXPECT_TRUE(device.LogHas(c.logLine)) << c.logLine;
    }
}

const std::string ONE_MIB(1 << 20, 'a');

INSTANTIATE_TEST_SUITE_P(
    Values, StoreStatusTest,
    ::testing::Values(
        StoreCase{"Start", "priority0_start", true, PRIORITY0_START, true, nullptr},
        StoreCase{"NoSpaceNeeded", "needed_space:0", false, 0, true, nullptr},
        StoreCase{"SpaceNeeded", "needed_space:1024/2048", true, NEEDED_SPACE, true,
                  "needed space: 1024"},
        StoreCase{"FailedNotCached", "priority0_failed", true, PRIORITY0_FAILED, false, nullptr},
        StoreCase{"Priority1EndNotCached", "priority1_end", true, PRIORITY1_END, false, nullptr},
        StoreCase{"EndCached", "priority0_end", true, PRIORITY0_END, true, nullptr},
        StoreCase{"Substring", "x_allow_install_y", true, ALLOW_INSTALL, true, nullptr},
        StoreCase{"LowestWins", "priority0_end+priority0_start", true, PRIORITY0_START, true,
                  nullptr},
        StoreCase{"Empty", "", true, BIU_STATUS_EMPTY, false, nullptr},
        StoreCase{"Unknown", "unknown", true, BIU_STATUS_NOT_DEFINED, false,
                  "Not defined value. unknown"},
        // Bad input: delivered or refused, but the monitor keeps going.
        StoreCase{"SpaceNotANumber", "needed_space:abc", true, NEEDED_SPACE, true,
                  "needed space is not readable"},
        StoreCase{"SpaceTooLarge", "needed_space:99999999999999", true, NEEDED_SPACE, true,
                  "needed space is not readable"},
        StoreCase{"SpaceWithoutAmount", "needed_space", true, NEEDED_SPACE, true,
                  "needed space is not readable"},
        StoreCase{"Newlines", "priority0_downloaded\nline two\n", true, PRIORITY0_DOWNLOADED, true,
                  nullptr},
        StoreCase{"InvalidUtf8", "\xff\xfe priority0_installed \xc3", true, PRIORITY0_INSTALLED,
                  true, nullptr},
        StoreCase{"OneMiBUnknown", ONE_MIB, true, BIU_STATUS_NOT_DEFINED, false,
                  "Not defined value. aaaa"},
        StoreCase{"OneMiBWithStatus", ONE_MIB + "deny_install", true, DENY_INSTALL, true, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MonitorTest, KeepsWorkingAfterBadInput) {
    for (const std::string& bad : {ONE_MIB, std::string("needed_space:abc"), std::string("\xff")})
        Deliver(keys::PRIORITY_BIU_STATUS, bad);
    Deliver(keys::PRIORITY_BIU_STATUS, "priority0_installprogress");
    ASSERT_FALSE(received.updates.empty());
    EXPECT_EQ(PRIORITY0_INSTALLPROGRESS, received.updates.back().first);
}

struct HomeCase {
    const char* value;
    std::vector<int> priorities;
};
void PrintTo(const HomeCase& c, std::ostream* os) {
    *os << c.value;
}

class HomeStatusTest : public MonitorTest, public ::testing::WithParamInterface<HomeCase> {};

TEST_P(HomeStatusTest, DeliversOnlyStartAndReady) {
    Deliver(keys::HOME_PRIORITY_UPDATE_STATUS, GetParam().value);
    EXPECT_EQ(GetParam().priorities, received.priorities);
    EXPECT_TRUE(received.updates.empty());
    EXPECT_EQ(NO_CHANGE, device.Key(keys::HOME_UPDATE_STATE));
}

INSTANTIATE_TEST_SUITE_P(Values, HomeStatusTest,
                         ::testing::Values(HomeCase{"start", {PRIORITY_UPDATE_START}},
                                           HomeCase{"ready", {PRIORITY_UPDATE_READY}},
                                           HomeCase{"done", {}}, HomeCase{"none", {}},
                                           HomeCase{"Start", {}}));

struct AnswerCase {
    const char* name;
    const char* keyBefore;  // null: the key is absent
    int status;
    const char* keyAfter;  // the key file afterwards
    std::vector<int> requests;
    const char* logLine;
};
void PrintTo(const AnswerCase& c, std::ostream* os) {
    *os << c.name;
}

class AnswerTest : public MonitorTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTest, WritesTheAnswerWord) {
    const AnswerCase& c = GetParam();
    if (c.keyBefore)
        Deliver(keys::PRIORITY_BIU_STATUS, c.keyBefore);
    else
        vconf_unset(keys::PRIORITY_BIU_STATUS);
    received = Received{};

    monitor->SetUserRequestStatus(static_cast<REQUEST_STATUS>(c.status), "");
    EXPECT_EQ(c.requests, received.requests) << "the request callback runs inside the call";
    EXPECT_EQ(c.keyAfter, device.Key(keys::PRIORITY_BIU_STATUS));
    EXPECT_TRUE(device.LogHas(c.logLine)) << c.logLine;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AnswerTest,
    ::testing::Values(
        AnswerCase{"CancelledByTimer",
                   "cancel_by_timer",
                   UPDATE_NOW,
                   "s:cancel_by_timer",
                   {},
                   "priority_biu_status is cancel_by_timer. Do not set allow_install"},
        AnswerCase{"OnlyExactCancel",
                   "cancel_by_timer2",
                   UPDATE_NOW,
                   "s:allow_install",
                   {UPDATE_NOW},
                   "REQUEST_STATUS allow_install"},
        AnswerCase{"Later",
                   "priority0_downloaded",
                   UPDATE_LATER,
                   "s:install_later",
                   {UPDATE_LATER},
                   "REQUEST_STATUS install_later"},
        AnswerCase{"NextTime",
                   "priority0_downloaded",
                   CHECK_NEXT_TIME,
                   "s:deny_install",
                   {CHECK_NEXT_TIME},
                   "REQUEST_STATUS deny_install"},
        AnswerCase{"DoNotUpdate",
                   "priority0_downloaded",
                   DO_NOT_UPDATE,
                   "s:deny_install",
                   {DO_NOT_UPDATE},
                   "REQUEST_STATUS deny_install"},
        AnswerCase{
            "KeyAbsent", nullptr, UPDATE_NOW, "", {}, "memory/pax/priority_biu_status is null"},
        AnswerCase{"NoneRefused",
                   "priority0_downloaded",
                   NONE,
                   "s:priority0_downloaded",
                   {},
                   "Not defined request status -1"},
        AnswerCase{"OutOfTableRefused",
                   "priority0_downloaded",
                   7,
                   "s:priority0_downloaded",
                   {},
                   "Not defined request status 7"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MonitorTest, OwnAnswerComesBackThroughTheWatch) {
    Deliver(keys::PRIORITY_BIU_STATUS, "priority0_downloaded");
    received = Received{};
    monitor->SetUserRequestStatus(UPDATE_NOW, "");
    EXPECT_TRUE(received.updates.empty()) << "no key callback runs inside the write";

    ASSERT_TRUE(RunLoopUntil([&] { return !received.updates.empty(); }));
    EXPECT_EQ(ALLOW_INSTALL, received.updates[0].first);
    EXPECT_EQ("allow_install", received.updates[0].second);
    EXPECT_EQ("s:allow_install", device.Key(keys::HOME_UPDATE_STATE));
}

TEST_F(MonitorTest, UpgradeStatusReadsTheKeyNow) {
    vconf_set_str(keys::PRIORITY_BIU_STATUS, "priority0_installfailed");
    EXPECT_EQ(PRIORITY0_INSTALLFAILED, monitor->GetUpgradeStatus());
    vconf_set_str(keys::PRIORITY_BIU_STATUS, "bogus");
    EXPECT_EQ(BIU_STATUS_NOT_DEFINED, monitor->GetUpgradeStatus());
    vconf_unset(keys::PRIORITY_BIU_STATUS);
    EXPECT_EQ(BIU_STATUS_EMPTY, monitor->GetUpgradeStatus());
    EXPECT_TRUE(device.LogHas("memory/pax/priority_biu_status is null"));
}

TEST_F(MonitorTest, SlotsRefuseOverwriteAndForeignUnset) {
    Received other;
    monitor->SetRequestStatusChangedCallback(OnRequestOther, &other);
    EXPECT_EQ(1, device.LogCount("Callback is exist"));
    monitor->UnsetRequestStatusChangedCallback(OnRequestOther);
    EXPECT_EQ(1, device.LogCount("callback is not registered"));

    vconf_set_str(keys::PRIORITY_BIU_STATUS, "priority0_downloaded");
    monitor->SetUserRequestStatus(UPDATE_LATER, "");
    EXPECT_EQ(std::vector<int>{UPDATE_LATER}, received.requests) << "the first pair stays";

    monitor->UnsetRequestStatusChangedCallback(OnRequest);
    EXPECT_TRUE(device.LogHas("Unset Request Status callback"));
    monitor->SetUserRequestStatus(UPDATE_LATER, "");
    EXPECT_EQ(1u, received.requests.size());
    EXPECT_TRUE(device.LogHas("No callback"));

    monitor->UnsetUpdateStatusChangedCallback(OnUpdate);
    monitor->UnsetUpdatePriorityStatusChangedCallback(OnPriority);
    EXPECT_TRUE(device.LogHas("Unset Update Status callback"));
    EXPECT_TRUE(device.LogHas("Unset Update Priority Status callback"));
    Deliver(keys::HOME_PRIORITY_UPDATE_STATUS, "start");
    EXPECT_TRUE(received.priorities.empty());
}

}  // namespace
