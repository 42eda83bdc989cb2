#include "VconfUtil.h"

#include <vconf.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

std::string VconfUtil::GetVconfStr(const char* key) {
    std::string value;
    if (!ReadVconfStr(key, value))
        throw std::logic_error(std::string("vconf_get_str failed: ") + (key ? key : "(null)"));
    return value;
}

bool VconfUtil::ReadVconfStr(const char* key, std::string& value) {
    std::unique_ptr<char, decltype(&free)> raw(vconf_get_str(key), &free);
    if (!raw)
        return false;
    value = raw.get();
    return true;
}
