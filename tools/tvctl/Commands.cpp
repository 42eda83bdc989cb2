// The table of commands and the running of one; apart from main(), so that other programs (the
// fuzz targets) can run a command as the console does.
#include "Commands.h"

#include <cstdio>

namespace tvctl {

namespace {

std::vector<Command>& Registry() {
    static auto* commands = new std::vector<Command>();
    return *commands;
}

const Command* g_current = nullptr;

}  // namespace

void RegisterCommand(const Command& command) {
    Registry().push_back(command);
}

const std::vector<Command>& AllCommands() {
    return Registry();
}

int Fail(int code, const std::string& message) {
    fprintf(stderr, "tvctl: %s\n", message.c_str());
    return code;
}

void PrintUsage(const Command& command) {
    printf("usage: tvctl %s\n  %s\n", command.usage.c_str(), command.help.c_str());
}

const Command* CurrentCommand() {
    return g_current;
}

int RunCommand(const Command& command, const Args& args) {
    if (!args.empty() && args[0] == "--help") {
        PrintUsage(command);
        return EXIT_DONE;
    }
    const Command* outer = g_current;
    g_current = &command;
    int code = command.run(args);
    g_current = outer;
    return code;
}

}  // namespace tvctl
