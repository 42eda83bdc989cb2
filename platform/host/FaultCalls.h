// Every platform call that a fault rule can make fail, with the kind of result the rule gives.
// The host library and the console share this one table, so a rule the console accepts is a
// rule some call honours.
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

// The entry for `name`, or null. "QXCurlEasy::setOption:N" (one option, by its number) is
// the entry of "QXCurlEasy::setOption".
const FaultCall* FindFaultCall(const std::string& name);

// "an int", "null", "0": what RESULT a rule for this kind of call takes.
const char* FaultResultWord(FaultResult result);

}  // namespace tvhost
