// Watches and subscriptions that the platform refuses at start: each is logged, tried again on a
// timer, and the unit then hears the changes it registered for.
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

}  // namespace
