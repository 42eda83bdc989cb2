#include "ParseUtil.h"

#include <memory>

#include "Log.h"

bool ParseUtil::ParseJsonFromString(const std::string& text, Json::Value& value,
                                    std::string& error) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (reader->parse(text.data(), text.data() + text.size(), &value, &error))
        return true;
    LOGE("Failed to parse json string: %s", error.c_str());
    return false;
}
