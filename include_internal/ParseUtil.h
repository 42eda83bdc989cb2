#pragma once

#include <json/json.h>

#include <string>

class ParseUtil {
  public:
    static bool ParseJsonFromString(const std::string& text, Json::Value& value,
                                    std::string& error);
};
