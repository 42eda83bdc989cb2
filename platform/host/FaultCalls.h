// Every platform call that a fault rule can make fail, with the kind of result the rule gives.
// The host library and the console share this one table, so a rule the console accepts is a
// rule some call honours, and the library reports a line of `faults` that names no such call.
#pragma once

#include <string>
#include <vector>

namespace tvhost {

enum class FaultResult {
    CODE,    // an int result code: RESULT is a decimal int
    HANDLE,  // a pointer or handle: RESULT is "null"
    FALSE,   // a C++ wrapper method that reports failure as false or empty: RESULT is 0
};

struct FaultCall {
    const char* name;
    FaultResult result;
};

const std::vector<FaultCall>& FaultCalls();

// The entry for `name`, or null. Each option of "QXCurlEasy::setOption" has its own entry,
// "QXCurlEasy::setOption:N" (N its number), besides the one for every option.
const FaultCall* FindFaultCall(const std::string& name);

// "an int", "null", "0": what RESULT a rule for this kind of call takes.
const char* FaultResultWord(FaultResult result);

// Calls the service makes that no rule can make fail, each with the reason.
struct UnfaultableCall {
    const char* name;
    const char* why;
};
const std::vector<UnfaultableCall>& UnfaultableCalls();

// One rule of `faults`, checked against the table.
struct FaultRule {
    std::string call;
    int result = 0;   // 0 for "null"
    long times = -1;  // -1: for ever
};

// Checks CALL, RESULT and TIMES ("" for ever) as `tvctl fault add` takes them. False with
// *error naming what is wrong, e.g. "unknown call 'vconf_get_itn' (see: tvctl fault calls)".
bool CheckFaultRule(const std::string& call, const std::string& result, const std::string& times,
                    FaultRule* rule, std::string* error);

// One line of `faults`: "CALL RESULT [TIMES]" separated by blanks. Comment and blank lines are
// not rules: the caller skips them (IsFaultComment).
bool ParseFaultRule(const std::string& line, FaultRule* rule, std::string* error);
// Blank, or its first word starts with '#'.
bool IsFaultComment(const std::string& line);

}  // namespace tvhost
