// What happened on the device root, as its journals and the platform log tell it: read as it
// grows, each entry and line taken by at most one expectation.
#pragma once

#include <json/json.h>

#include <map>
#include <string>
#include <vector>

namespace tvctl {
namespace story {

// One line of the platform log: "DATE TIME P/TAG(PID): FILE: FUNCTION(LINE) > MESSAGE".
struct LogLine {
    std::string time;   // "2026-12-05 21:02:04.123"
    char priority = 0;  // 'E'
    std::string tag;    // "BRENWICK"
    long pid = 0;
    std::string origin;   // "UpdateManager.cpp: m_OnHomeUpdateStatusChanged(120)"
    std::string message;  // what follows " > "
    // The source file of the origin, "UpdateManager.cpp".
    std::string Unit() const { return origin.substr(0, origin.find(": ")); }
};
// False for a line that is not in that form.
bool ParseLogLine(const std::string& text, LogLine* line);

struct Taken {
    bool taken = false;
};
struct JournalEntry : Taken {
    Json::Value value;
};
struct ServiceLine : Taken {
    LogLine line;
};

// The journals the record keeps.
extern const char* const JOURNALS[];

class DeviceRecord {
  public:
    // Starts at the beginning of every journal and of the log.
    DeviceRecord() = default;
    // Reads what was appended since the last call.
    void Read();
    std::vector<JournalEntry>& Entries(const std::string& journal) { return m_entries[journal]; }
    // The service's lines (tag BRENWICK).
    std::vector<ServiceLine>& Lines() { return m_lines; }

  private:
    std::map<std::string, long> m_offsets;
    std::map<std::string, std::vector<JournalEntry>> m_entries;
    std::vector<ServiceLine> m_lines;
};

// The value of KEY in extra data [[KEY, VALUE], ...]; false when absent.
bool ExtraValue(const Json::Value& extra, const std::string& key, std::string* value);
// "KEY=VALUE KEY=VALUE" of extra data.
std::string ExtraText(const Json::Value& extra);
// A notification post's text of a type (0 title, 1 content, 13.. buttons), "" when absent.
std::string PostText(const Json::Value& post, int type);

}  // namespace story
}  // namespace tvctl
