// Watches and subscriptions that the platform refuses at start: each is logged, tried again on a
// timer, and the unit then hears the changes it registered for.
#include "Constants.h"
#include "HomeResetManager.h"
#include "HostCore.h"
#include "LocaleTextUtil.h"
#include "ResetManager.h"
#include "TestDevice.h"
#include "UpdateManager.h"
#include "UpdateStatusMonitor.h"

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
    {"store status", "vconf_notify_key_changed", "watch memory/pax/priority_biu_status",
     [] { Singleton<UpdateStatusMonitor>::GetInstance(); },
     "set memory/pax/priority_biu_status priority0_start", "changedValue : priority0_start"},
    {"portal reset state", "vconf_notify_key_changed", "watch memory/kesh/lumaport_reset_state",
     [] { Singleton<ResetManager>::GetInstance(); },
     "set -t int memory/kesh/lumaport_reset_state 3", "changedValue : 3"},
    {"home reset status", "vconf_notify_key_changed", "watch db/home/reset_status",
     [] { Singleton<HomeResetManager>::GetInstance(); }, "set db/home/reset_status restart",
     "changedValue : restart"},
    {"menu language", "vconf_notify_key_changed", "watch db/menu_widget/language",
     [] { Singleton<LocaleTextParser>::GetInstance(); }, "set db/menu_widget/language de_DE.UTF-8",
     "Changed Language"},
    // Power events reach only a running application.
    {"power state", "device_power_subscribe_state_changed_event", "subscribe to power state events",
     [] {
         tvhost::SetSelfAppId(BRENWICK_APP_ID);
         tvhost::ServeApp(BRENWICK_APP_ID);
         Singleton<UpdateManager>::GetInstance();
     },
     "power 1 3", "power off [3]"},
};

TEST(PlatformRegistrationTest, RefusedAtStartIsRetriedUntilTheChangesArrive) {
    for (const Row& row : ROWS) {
        SCOPED_TRACE(row.name);
        TestDevice device;
        tvhost::FaultAdd(row.refusedCall, "-1", "1");
        row.create();
        EXPECT_TRUE(device.LogHas(std::string("Failed to ") + row.registration +
                                  " (error: -1); trying again in 1000 ms"));

        EXPECT_TRUE(RunLoopUntil(
            [&] { return device.LogHas(std::string("Done: ") + row.registration); }, 3000));
        EXPECT_EQ(0, device.Tvctl(row.change));
        EXPECT_TRUE(RunLoopUntil([&] { return device.LogHas(row.handled); }));
        Singleton<UpdateManager>::DestoryInstance();
        Singleton<UpdateStatusMonitor>::DestoryInstance();
        Singleton<ResetManager>::DestoryInstance();
        Singleton<HomeResetManager>::DestoryInstance();
        Singleton<LocaleTextParser>::DestoryInstance();
        tvhost::StopServing();
    }
}

}  // namespace
