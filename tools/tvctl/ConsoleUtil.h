// Small helpers shared by the console's commands.
#pragma once

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "Commands.h"

namespace tvctl {

// The whole text as a decimal int.
inline bool ParseInt(const std::string& text, int* value) {
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long number = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || number < INT_MIN || number > INT_MAX)
        return false;
    *value = static_cast<int>(number);
    return true;
}

// "tvctl: usage: tvctl USAGE", exit code 2.
inline int Usage(const char* usage) {
    return Fail(EXIT_USAGE, std::string("usage: tvctl ") + usage);
}

}  // namespace tvctl
