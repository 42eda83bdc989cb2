#include "ParseUtil.h"

#include <exception>
#include <memory>

#include "Log.h"

bool ParseUtil::ParseJsonFromString(const std::string& text, Json::Value& value,
                                    std::string& error) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    // The reader throws instead of reporting when the text nests deeper than its stack limit;
    // that is text which does not parse like any other.
    try {
        if (reader->parse(text.data(), text.data() + text.size(), &value, &error))
            return true;
    } catch (const std::exception& e) {
        error = e.what();
    }
    LOGE("Failed to parse json string: %s", error.c_str());
    return false;
}
