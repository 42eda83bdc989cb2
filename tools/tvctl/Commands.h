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

struct Registrar {
    explicit Registrar(const Command& command) { RegisterCommand(command); }
};

}  // namespace tvctl

#define TVCTL_CONCAT2(a, b) a##b
#define TVCTL_CONCAT(a, b) TVCTL_CONCAT2(a, b)
#define TVCTL_COMMAND(name, usage, help, fn) \
    static ::tvctl::Registrar TVCTL_CONCAT(tvctl_registrar_, __LINE__)({name, usage, help, fn})
