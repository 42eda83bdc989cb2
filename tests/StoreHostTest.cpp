// Common-service properties as the console leaves them, and fault rules that make platform calls
// fail. The store client calls are shown through the service's own tests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "HostCore.h"
#include "TestDevice.h"
#include "dravo_api.h"
#include "vconf.h"

namespace {

// The result of each call; what it read goes to *text when asked for.
int Property(const char* name, std::string* text = nullptr) {
    char* value = nullptr;
    int result = dravo_get_rixurl_configproperties(name, &value);
    if (text)
        *text = value ? value : "";
    free(value);
    return result;
}

TEST(StoreHost, PropertiesFollowTheConsole) {
    TestDevice device;
    std::string text;
    ASSERT_EQ(device.Tvctl("prop set updateNotification 1_on"), 0);
    EXPECT_EQ(Property("updateNotification", &text), 0);
    EXPECT_EQ(text, "1_on");
    ASSERT_EQ(device.Tvctl("prop rm updateNotification"), 0);
    EXPECT_NE(Property("updateNotification"), 0);
    EXPECT_EQ(device.Tvctl("prop rm updateNotification"), 1);
}

struct FaultCase {
    const char* rule;
    int times;  // 0: until cleared
    int (*call)();
    int faulted;
};

// Each call faults as its rule says, then works again (every call here then returns 0).
TEST(Fault, RulesMakeTheNamedCallFailForTheirTimes) {
    const FaultCase cases[] = {
        {"dravo_get_rixurl_configproperties -3 2", 2, [] { return Property("present"); }, -3},
        {"vconf_set_int -7", 0, [] { return vconf_set_int("db/lumaport/reset_count", 5); }, -7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        TestDevice device;
        device.Write("config/properties/present", "x");
        ASSERT_EQ(device.Tvctl(std::string("fault add ") + c.rule), 0);
        for (int i = 0; i < (c.times ? c.times : 3); ++i) {
            EXPECT_EQ(c.call(), c.faulted);
            // The console plays the rest of the television: its calls leave the rule alone.
            EXPECT_EQ(device.Tvctl("get db/home/reset_status"), 0);
        }
        if (!c.times) {
            ASSERT_EQ(device.Tvctl("fault clear"), 0);
        }
        EXPECT_EQ(c.call(), 0);
    }
}

}  // namespace
