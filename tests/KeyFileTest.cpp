// What a settings key file may hold: "s:" and any text, or "i:" and a plain decimal int.
// Anything else is malformed, which the console tells apart from a key that is not set.
#include <gtest/gtest.h>

#include <string>

#include "VconfInternal.h"

namespace {

struct KeyFileRow {
    const char* content;
    const char* value;  // "s:TEXT", "i:N", or "malformed"
};

std::string Shown(const tvhost::KeyValue& value) {
    if (value.malformed)
        return "malformed";
    return value.type == 's' ? "s:" + value.str : "i:" + std::to_string(value.num);
}

TEST(KeyFile, HoldsATypedValueOrIsMalformed) {
    const KeyFileRow rows[] = {
        {"s:priority0_start", "s:priority0_start"},
        {"s:", "s:"},
        {"s:two\nlines", "s:two\nlines"},
        {"i:3", "i:3"},
        {"i:-2147483648", "i:-2147483648"},
        {"i:2147483648", "malformed"},
        {"i:007", "malformed"},
        {"i: 7", "malformed"},
        {"i:7\n", "malformed"},
        {"i:", "malformed"},
        {"garbage", "malformed"},
        {"", "malformed"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Shown(tvhost::ParseKeyFile(row.content)), row.value) << row.content;
    }
}

}  // namespace
