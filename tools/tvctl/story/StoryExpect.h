// An expectation held against what the device root records: whether it is met (taking the
// entry or line that meets it), and in words what was expected and what was seen instead.
#pragma once

#include <map>
#include <string>

#include "DeviceRecord.h"
#include "Story.h"

namespace tvctl {
namespace story {

using Variables = std::map<std::string, std::string>;

class Matcher {
  public:
    Matcher(DeviceRecord* record, Variables* variables)
        : m_record(record), m_variables(variables) {}
    // True when met now; a notification met sets $N (and its name).
    bool Meets(const Expectation& expect);
    std::string Describe(const Expectation& expect) const;
    std::string Seen(const Expectation& expect);
    // What the user or the store would have seen that no expectation took: launches,
    // notifications, the store calls that change something, reboots. "" when nothing.
    std::string Unexpected();

  private:
    std::string Text(const Word& word) const { return word.Expand(*m_variables); }
    bool PairsMatch(const Expectation& expect, const Json::Value& extra) const;
    bool PostMatches(const Expectation& expect, const Json::Value& post) const;
    bool EntryMatches(const Expectation& expect, const Json::Value& entry) const;
    const char* Journal(const Expectation& expect) const;

    DeviceRecord* m_record;
    Variables* m_variables;
};

// A post in words: #3 "Title" [Update later] [Update now] [Details].
std::string DescribePost(const Json::Value& post);

}  // namespace story
}  // namespace tvctl
