#include "VconfUtil.h"

#include <vconf.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

std::string VconfUtil::GetVconfStr(const char* key) {
    std::unique_ptr<char, decltype(&free)> value(vconf_get_str(key), &free);
    if (!value)
        throw std::logic_error(std::string("vconf_get_str failed: ") + (key ? key : "(null)"));
    return value.get();
}
