// The common-service library's configuration properties on the host: config/properties/NAME.
#include <cstring>
#include <string>

#include "HostCore.h"
#include "dravo_api.h"

extern "C" int dravo_get_rixurl_configproperties(const char* name, char** value) {
    if (value)
        *value = nullptr;
    int faulted = 0;
    if (tvhost::FaultHit("dravo_get_rixurl_configproperties", &faulted))
        return faulted;
    if (!name || !value || !tvhost::PlainName(name))
        return -1;
    std::string text;
    if (!tvhost::ReadWholeFile(tvhost::RootPath(std::string("config/properties/") + name), &text))
        return -1;
    // `tvctl prop set` and hand-edited files alike may end the value with a line feed.
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    *value = strdup(text.c_str());
    return *value ? 0 : -1;
}
