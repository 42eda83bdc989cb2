// Watches and subscriptions that the platform refuses at start: each is logged, tried again on a
// timer, and the unit then hears the changes it registered for.

#include <gtest/gtest.h>
#include <vconf.h>

#include <functional>
#include <string>

#include "Constants.h"
#include "HomeResetManager.h"
#include "HostCore.h"
#include "LocaleTextUtil.h"
#include "PlatformKeys.h"
#include "ResetManager.h"
#include "TestDevice.h"
#include "UpdateManager.h"
#include "UpdateStatusMonitor.h"

namespace {

struct Row {
    const char* name;
    const char* refusedCall;
    const char* registration;  // as the log names it
    std::function<void()> create;
    std::function<void(const TestDevice&)> change;
    const char* handled;  // the log line of the handled change
    std::function<void()> destroy;
};

const Row ROWS[] = {
    {"store status", "vconf_notify_key_changed", "watch memory/pax/priority_biu_status",
     [] { Singleton<UpdateStatusMonitor>::GetInstance(); },
     [](const TestDevice&) { vconf_set_str(keys::PRIORITY_BIU_STATUS, "priority0_start"); },
     "changedValue : priority0_start", [] { Singleton<UpdateStatusMonitor>::DestoryInstance(); }},
    {"portal reset state", "vconf_notify_key_changed", "watch memory/kesh/lumaport_reset_state",
     [] { Singleton<ResetManager>::GetInstance(); },
     [](const TestDevice&) { vconf_set_int(keys::PORTAL_RESET_STATE, 3); }, "changedValue : 3",
     [] { Singleton<ResetManager>::DestoryInstance(); }},
    {"home reset status", "vconf_notify_key_changed", "watch db/home/reset_status",
     [] { Singleton<HomeResetManager>::GetInstance(); },
     [](const TestDevice&) { vconf_set_str(keys::HOME_RESET_STATUS, "restart"); },
     "changedValue : restart", [] { Singleton<HomeResetManager>::DestoryInstance(); }},
    {"menu language", "vconf_notify_key_changed", "watch db/menu_widget/language",
     [] { Singleton<LocaleTextParser>::GetInstance(); },
     [](const TestDevice&) { vconf_set_str(keys::MENU_LANGUAGE, "de_DE.UTF-8"); },
     "Changed Language", [] { Singleton<LocaleTextParser>::DestoryInstance(); }},
    {"power state", "device_power_subscribe_state_changed_event", "subscribe to power state events",
     [] {
         // Power events reach only a running application.
         tvhost::SetSelfAppId(BRENWICK_APP_ID);
         tvhost::ServeApp(BRENWICK_APP_ID);
         Singleton<UpdateManager>::GetInstance();
     },
     [](const TestDevice& device) { device.Tvctl("power 1 3"); }, "power off [3]",
     [] {
         Singleton<UpdateManager>::DestoryInstance();
         tvhost::StopServing();
     }},
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
        row.change(device);
        EXPECT_TRUE(RunLoopUntil([&] { return device.LogHas(row.handled); }));
        row.destroy();
    }
}

}  // namespace
