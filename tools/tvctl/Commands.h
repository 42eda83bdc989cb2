// The console's commands. Each source file registers its commands with TVCTL_COMMAND.
#pragma once

#include <string>
#include <vector>

namespace tvctl {

using Args = std::vector<std::string>;

// Exit codes: 0 done, 1 could not be carried out, 2 bad usage.
constexpr int EXIT_DONE = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

struct Command {
    std::string name;   // "store play", "fault add": words matched from the start of argv
    std::string usage;  // "store play [OPTIONS]"
    std::string help;   // one line
    int (*run)(const Args& args);  // args after the command's words
};

void RegisterCommand(const Command& command);
const std::vector<Command>& AllCommands();

// Runs `command` with the arguments after its words: "--help" as the first of them prints its
// usage instead. The command is CurrentCommand() meanwhile, so messages can name it.
int RunCommand(const Command& command, const Args& args);
const Command* CurrentCommand();
// "usage: tvctl USAGE" and the command's help line.
void PrintUsage(const Command& command);

// Prints "tvctl: MESSAGE" on standard error and returns `code`.
int Fail(int code, const std::string& message);

// The command whose words begin `args`, the longest such name winning ("store play" over
// "store"), with the number of its words; null when none matches.
const Command* FindCommand(const Args& args, size_t* wordCount);
// "unknown command 'NAME'", NAME being two words when the first names a group ("store frob").
std::string UnknownCommandProblem(const Args& args);

// A command line checked without being carried out (a story is checked whole before any of it
// runs): "" when `command` takes `args`, else the refusal it would print, without "tvctl: ".
std::string CheckCommand(const Command& command, const Args& args);
// True while CheckCommand runs: each command returns EXIT_DONE once its own checks passed.
bool OnlyChecking();

struct Registrar {
    explicit Registrar(const Command& command) { RegisterCommand(command); }
};

}  // namespace tvctl

#define TVCTL_CONCAT2(a, b) a##b
#define TVCTL_CONCAT(a, b) TVCTL_CONCAT2(a, b)
#define TVCTL_COMMAND(name, usage, help, fn) \
    static ::tvctl::Registrar TVCTL_CONCAT(tvctl_registrar_, __LINE__)({name, usage, help, fn})
