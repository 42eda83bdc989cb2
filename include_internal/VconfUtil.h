#pragma once

#include <string>

class VconfUtil {
  public:
    // The key's string value; throws std::logic_error when the store has none.
    static std::string GetVconfStr(const char* key);
    // For keys that may be absent: false, with `value` untouched, when the store has none.
    static bool ReadVconfStr(const char* key, std::string& value);
};
