// Fault rules that make platform calls fail, as the console adds them. The store client and the
// common-service properties are shown through the service's own tests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "TestDevice.h"
#include "dravo_api.h"
#include "vconf.h"

namespace {

int Property(const char* name) {
    char* value = nullptr;
    int result = dravo_get_rixurl_configproperties(name, &value);
    free(value);
    return result;
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
