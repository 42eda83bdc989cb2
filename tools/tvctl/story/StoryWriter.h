// Writing a story from what happened: the inputs the service got become actions, what it did
// becomes expectations. From the platform log alone (a set in the field), or from a device root's
// log and journals together.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "DeviceRecord.h"

namespace tvctl {
namespace story {

struct WrittenStory {
    std::string text;
    // Where lines are missing from the log: "line 12: ...", in the order found.
    std::vector<std::string> gaps;
};

// `lines` are the service's lines of a platform log with their line numbers; `source` names the
// log in the story's comments. With `journals`, the notifications, launches, store calls and
// reboots they hold are expected too, and presses name the notification they went to.
WrittenStory WriteStory(const std::vector<std::pair<int, LogLine>>& lines,
                        const std::string& source, DeviceRecord* journals = nullptr);

}  // namespace story
}  // namespace tvctl
