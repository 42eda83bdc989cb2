// The host device's fault rules file (any bytes), as a platform call consults it: the call of the
// first rule fails with that rule's result, and counting the rule down changes its TIMES alone
// (or drops its line when used up), every other byte of the file as it was. What a rule is, is
// read here from the rules' own description, not with the host's parser: "CALL RESULT [TIMES]"
// in words separated by blanks, "#" comments, RESULT a plain decimal int, "null" for a call that
// returns a pointer, "0" for a method of the HTTP client wrapper, TIMES a plain positive int.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iterator>
#include <set>
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

struct Rule {
    std::string call;
    int result = 0;
    long long times = -1;  // for ever
};

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// A decimal written the plain way (no sign but '-', no leading zero, no blank) within the range.
bool Plain(const std::string& word, long long low, long long high, long long* number) {
    if (word.empty() || word.size() > 12)
        return false;
    char* end = nullptr;
    errno = 0;
    long long value = strtoll(word.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || std::to_string(value) != word || value < low || value > high)
        return false;
    *number = value;
    return true;
}

const std::set<std::string> RETURN_POINTERS = {"vconf_get_str", "vconf_keynode_get_name",
                                               "vconf_keynode_get_str", "notification_create"};

bool ParseRule(const std::vector<std::string>& words, Rule* rule) {
    if (words.size() < 2 || words.size() > 3 || !tvhost::FindFaultCall(words[0]))
        return false;
    rule->call = words[0];
    long long number = 0;
    bool fits = rule->call.rfind("QXCurl", 0) == 0 ? words[1] == "0"
                : RETURN_POINTERS.count(rule->call) != 0
                    ? words[1] == "null"
                    : Plain(words[1], INT_MIN, INT_MAX, &number);
    rule->result = static_cast<int>(number);
    rule->times = -1;
    return fits && (words.size() == 2 || Plain(words[2], 1, INT_MAX, &rule->times));
}

// What the file must hold once `rule`, on `line`, has been used once.
std::string CountedDown(const std::string& text, const Line& line, const Rule& rule) {
    if (rule.times < 0)
        return text;
    std::string head = text.substr(0, line.begin);
    if (rule.times == 1)
        return head + text.substr(line.end);
    std::string times = Words(line.text).back();
    size_t at = line.begin + line.text.rfind(times);
    return text.substr(0, at) + std::to_string(rule.times - 1) + text.substr(at + times.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Device();
    std::string text = fuzz::Bytes(data, size);
    fuzz::PutFile("faults", text);
    const Line* ruled = nullptr;
    Rule rule;
    std::vector<Line> lines = Lines(text);
    for (const auto& line : lines) {
        std::vector<std::string> words = Words(line.text);
        if (!words.empty() && words[0][0] != '#' && ParseRule(words, &rule)) {
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
