// Lines of the device's journals as the console's narrator reads them (any bytes, one line per
// line, its first byte choosing the journal): it tells a story, whatever the lines hold, the
// same story twice.
#include <string>
#include <utility>
#include <vector>

#include "FuzzDevice.h"
#include "Narrator.h"

namespace {

const char* const JOURNALS[] = {"launch.jsonl", "notification.jsonl", "store.jsonl", "power.jsonl"};

std::vector<std::string> Story(const std::vector<std::pair<std::string, std::string>>& lines) {
    std::vector<std::string> story;
    tvctl::Narrator narrator(
        [&story](const std::string& who, const std::string& what) { story.push_back(who + what); });
    narrator.TellEntries(lines);
    return story;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Device();
    std::string text = fuzz::Bytes(data, size);
    std::vector<std::pair<std::string, std::string>> lines;
    for (size_t begin = 0; begin < text.size();) {
        size_t end = std::min(text.find('\n', begin), text.size());
        if (end > begin)
            lines.emplace_back(JOURNALS[text[begin] & 3], text.substr(begin + 1, end - begin - 1));
        begin = end + 1;
    }
    fuzz::Check(Story(lines) == Story(lines), "the same lines tell the same story twice");
    return 0;
}
