// Watches and subscriptions that the platform refuses at start: each is logged, tried again on a
// timer, and the unit then hears the changes it registered for.
#include <chrono>

#include "PlatformRegistration.h"
#include "UpdateFlow.h"

using namespace updateflow;

namespace {

struct Row {
    const char* name;
    const char* refusedCall;
    const char* registration;  // as the log names it
    void (*create)();
    const char* change;   // tvctl arguments
    const char* handled;  // the log line of the handled change
};

const Row ROWS[] = {
    {"StoreStatus", "vconf_notify_key_changed", "watch memory/pax/priority_biu_status",
     [] { Singleton<UpdateStatusMonitor>::GetInstance(); },
     "set memory/pax/priority_biu_status priority0_start", "changedValue : priority0_start"},
    {"PortalResetState", "vconf_notify_key_changed", "watch memory/kesh/lumaport_reset_state",
     [] { Singleton<ResetManager>::GetInstance(); },
     "set -t int memory/kesh/lumaport_reset_state 3", "changedValue : 3"},
    {"HomeResetStatus", "vconf_notify_key_changed", "watch db/home/reset_status",
     [] { Singleton<HomeResetManager>::GetInstance(); }, "set db/home/reset_status restart",
     "changedValue : restart"},
    {"MenuLanguage", "vconf_notify_key_changed", "watch db/menu_widget/language",
     [] { Singleton<LocaleTextParser>::GetInstance(); }, "set db/menu_widget/language de_DE.UTF-8",
     "Changed Language"},
    {"PowerState", "device_power_subscribe_state_changed_event", "subscribe to power state events",
     [] { Singleton<UpdateManager>::GetInstance(); }, "power 1 3", "power off [3]"},
};

class PlatformRegistrationTest : public UpdateFlowTest,
                                 public ::testing::WithParamInterface<Row> {};

TEST_P(PlatformRegistrationTest, RefusedAtStartIsRetriedUntilTheChangesArrive) {
    const Row& row = GetParam();
    tvhost::FaultAdd(row.refusedCall, "-1", "1");
    row.create();
    EXPECT_TRUE(device.LogHas(std::string("Failed to ") + row.registration +
                              " (error: -1); trying again in 1000 ms"));

    EXPECT_TRUE(RunLoopUntil(
        [&] { return device.LogHas(std::string("Done: ") + row.registration); }, 3000));
    EXPECT_EQ(0, device.Tvctl(row.change));
    EXPECT_TRUE(RunLoopUntil([&] { return device.LogHas(row.handled); }));
}

INSTANTIATE_TEST_SUITE_P(Rows, PlatformRegistrationTest, ::testing::ValuesIn(ROWS), RowName());

// A refusal that lasts is tried again all along, but told only at its first failure, then once
// per quiet time (an hour; shortened here), and at its end.
TEST(LastingRefusal, IsLoggedFirstThenOncePerQuietTimeAndAtItsEnd) {
    const struct {
        unsigned quietMs;
        unsigned refusals;
    } rows[] = {{60 * 60 * 1000, 100}, {100, 60}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.quietMs);
        TestDevice device;
        tvhost::FaultAdd("vconf_notify_key_changed", "-1", std::to_string(row.refusals));
        auto start = std::chrono::steady_clock::now();
        auto watch = PlatformRegistration::WatchKey("db/test/key", [](keynode_t*, void*) {},
                                                    nullptr, {5, 5, row.quietMs});
        ASSERT_TRUE(RunLoopUntil([&] { return watch->IsRegistered(); }, 10000));
        auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();

        int lines = device.LogCount("Failed to watch db/test/key (error: -1)");
        // The refusals span at least (refusals - 1) * 5 ms: a quiet time inside it is told.
        EXPECT_GE(lines, row.quietMs < (row.refusals - 1) * 5u ? 2 : 1);
        EXPECT_LE(lines, 1 + elapsedMs / row.quietMs);
        EXPECT_TRUE(device.LogHas("Done: watch db/test/key, after " + std::to_string(row.refusals) +
                                  " failed tries"));
    }
}

// At the end each registration is undone: quietly when the platform takes it back, with a line
// when it refuses, and the end goes on either way.
class RegistrationUndo : public UpdateFlowTest {};

TEST_F(RegistrationUndo, IsQuietWhenTakenBackAndToldWhenRefused) {
    for (bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "refused" : "taken back");
        Singleton<UpdateManager>::GetInstance();
        if (refused) {
            tvhost::FaultAdd("vconf_ignore_key_changed", "-1", "");
            tvhost::FaultAdd("device_power_unsubscribe_state_changed_event", "-1", "");
        }
        Singleton<UpdateManager>::DestoryInstance();
        Singleton<UpdateStatusMonitor>::DestoryInstance();
        EXPECT_EQ(refused, device.LogHas("Failed to undo watch memory/pax/priority_biu_status "
                                         "(error: -1)"));
        EXPECT_EQ(refused,
                  device.LogHas("Failed to undo subscribe to power state events (error: -1)"));
        EXPECT_EQ(refused, device.LogHas("Failed to undo"));
    }
}

}  // namespace
