// Fault rules written with the console make the platform calls of applications fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "TestDevice.h"
#include "vconf.h"

namespace {

constexpr const char* KEY = "memory/home/priority_update_status";

// The outcome of one vconf_get_str: the value, or "<null>".
std::string GetStr() {
    char* value = vconf_get_str(KEY);
    if (!value)
        return "<null>";
    std::string copy = value;
    free(value);
    return copy;
}

TEST(Fault, RuleWithTimesFailsThatManyCallsThenWears) {
    TestDevice device;
    ASSERT_EQ(device.Tvctl("fault add vconf_get_str null 2"), 0);
    EXPECT_EQ(GetStr(), "<null>");
    // The console plays the rest of the television: its reads do not use the rule up.
    std::string output;
    EXPECT_EQ(device.Tvctl(std::string("get ") + KEY, &output), 0);
    EXPECT_EQ(output, "none\n");
    EXPECT_EQ(GetStr(), "<null>");
    EXPECT_EQ(GetStr(), "none");
    EXPECT_EQ(GetStr(), "none");
}

TEST(Fault, RuleWithoutTimesHoldsUntilCleared) {
    TestDevice device;
    ASSERT_EQ(device.Tvctl("fault add vconf_set_int -7"), 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(vconf_set_int("db/lumaport/reset_count", 5), -7);
    EXPECT_EQ(device.Key("db/lumaport/reset_count"), "i:0");
    // Rules of other calls leave this one alone.
    EXPECT_EQ(vconf_set_str(KEY, "start"), VCONF_OK);
    ASSERT_EQ(device.Tvctl("fault clear"), 0);
    EXPECT_EQ(vconf_set_int("db/lumaport/reset_count", 5), VCONF_OK);
    EXPECT_EQ(device.Key("db/lumaport/reset_count"), "i:5");
}

}  // namespace
