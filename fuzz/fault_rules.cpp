// The host device's fault rules file (any bytes), as a platform call consults it: the call of the
// first rule fails with that rule's result, and counting the rule down changes its TIMES alone
// (or drops its line when used up), every other byte of the file as it was.
#include <sstream>
#include <vector>

#include "FaultCalls.h"
#include "FuzzDevice.h"
#include "HostCore.h"

namespace {

struct Line {
    size_t begin;
    size_t end;  // past its line feed
    std::string text;
};

std::vector<Line> Lines(const std::string& text) {
    std::vector<Line> lines;
    for (size_t begin = 0; begin < text.size();) {
        size_t feed = text.find('\n', begin);
        size_t stop = feed == std::string::npos ? text.size() : feed;
        size_t end = feed == std::string::npos ? stop : stop + 1;
        lines.push_back({begin, end, text.substr(begin, stop - begin)});
        begin = end;
    }
    return lines;
}

std::string LastWord(const std::string& line) {
    std::stringstream words(line);
    std::string word, last;
    while (words >> word)
        last = word;
    return last;
}

// What the file must hold once `rule`, on `line`, has been used once.
std::string CountedDown(const std::string& text, const Line& line, const tvhost::FaultRule& rule) {
    if (rule.times < 0)
        return text;
    std::string head = text.substr(0, line.begin);
    if (rule.times == 1)
        return head + text.substr(line.end);
    std::string times = LastWord(line.text);
    size_t at = line.begin + line.text.rfind(times);
    return text.substr(0, at) + std::to_string(rule.times - 1) + text.substr(at + times.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Device();
    std::string text = fuzz::Bytes(data, size);
    fuzz::PutFile("faults", text);
    const Line* ruled = nullptr;
    tvhost::FaultRule rule;
    std::vector<Line> lines = Lines(text);
    for (const auto& line : lines) {
        if (!tvhost::IsFaultComment(line.text) &&
            tvhost::ParseFaultRule(line.text, &rule, nullptr)) {
            ruled = &line;
            break;
        }
    }
    std::string call = ruled ? rule.call : "vconf_get_int";
    int result = 12345;
    bool hit = tvhost::FaultHit(call.c_str(), &result);
    std::string after;
    fuzz::GetFile("faults", &after);
    if (!ruled) {
        fuzz::Check(!hit && after == text,
                    "a file without rules fails no call and stays as it was");
    } else {
        fuzz::Check(hit && result == rule.result, "the first rule's call fails with its result");
        fuzz::Check(after == CountedDown(text, *ruled, rule), "only the rule's TIMES changes");
    }
    return 0;
}
