// Small helpers shared by the console's commands: strict numbers and messages that name what
// was wrong with a request.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Commands.h"

namespace tvctl {

// "tvctl: COMMAND: WHAT" for the command being run, exit code 2.
int BadUsage(const std::string& what);

// "" when `args` are the positional arguments `names`, of which the last `optional` may be
// left out; else "NAME is missing" or "unexpected argument 'X'".
std::string WrongArgs(const Args& args, const std::vector<std::string>& names, size_t optional = 0);

// WrongArgs as a usage error: 0 when the arguments match, else 2 after the message.
int CheckArgs(const Args& args, const std::vector<std::string>& names, size_t optional = 0);

// "" with *value set when `text` is a plain decimal integer within [min, max]; else
// "NAME must be a decimal integer from MIN to MAX, got 'TEXT'" (or "must be 1, 2 or 3").
std::string IntProblem(const std::string& name, const std::string& text, long long min,
                       long long max, int* value);

// "" with *value set when `text` is a plain non-negative decimal number of seconds ("0.5",
// "60"), at most a day; else what is wrong with it.
std::string SecondsProblem(const std::string& name, const std::string& text, double* value);

// "" when `name` can be one file in a directory (an application, package or property name);
// else "bad WHAT 'NAME' ...".
std::string NameProblem(const std::string& what, const std::string& name);

// What ReadRegularFile found.
enum class FileRead { READ, ABSENT, NOT_READABLE };
// The whole of `path` when it is a regular file of at most `maxBytes`, read through one
// descriptor: no link followed, no blocking open (a pipe), nothing beyond the bound. Else why
// not in *problem ("No such file or directory", "not a regular file of at most N bytes").
FileRead ReadRegularFile(const std::string& path, size_t maxBytes, std::string* content,
                         std::string* problem = nullptr);

// Hands each whole line appended to `path` since *offset to `take` and moves *offset past it: a
// line still being written waits for the next read, and a file that shrank is read again from
// its start.
void ReadNewLines(const std::string& path, long* offset,
                  const std::function<void(const std::string&)>& take);

}  // namespace tvctl
