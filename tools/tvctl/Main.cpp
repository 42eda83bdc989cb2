// The device console: tvctl [--root DIR] COMMAND [ARGS...].
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "Commands.h"
#include "HostCore.h"

namespace tvctl {

namespace {

int UnknownCommand(const Args& args) {
    return Fail(EXIT_USAGE, UnknownCommandProblem(args) + " (see: tvctl help)");
}

// `help` lists every command; `help COMMAND` prints that one's usage.
int Help(const Args& args) {
    if (!args.empty()) {
        size_t wordCount = 0;
        const Command* command = FindCommand(args, &wordCount);
        if (!command || wordCount != args.size())
            return UnknownCommand(args);
        PrintUsage(*command);
        return EXIT_DONE;
    }
    std::vector<Command> commands = AllCommands();
    std::sort(commands.begin(), commands.end(),
              [](const Command& a, const Command& b) { return a.name < b.name; });
    printf("usage: tvctl [--root DIR] COMMAND [ARGS...] | tvctl --version\n");
    printf(
        "The device root is DIR, else TV_DEVICE_ROOT, else "
        "${XDG_STATE_HOME:-$HOME/.local/state}/tvdevice.\n");
    printf(
        "tvctl COMMAND --help prints one command's usage. Exit status: 0 done, 1 could not be "
        "done, 2 bad usage.\n\n");
    for (const auto& command : commands) {
        printf("  %s\n      %s\n", command.usage.c_str(), command.help.c_str());
    }
    return EXIT_DONE;
}

TVCTL_COMMAND("help", "help [COMMAND]", "list the commands, or print one command's usage", Help);

// Commands that make sense without a provisioned root.
bool NeedsNoRoot(const std::string& name) {
    return name == "init" || name == "help" || name == "fault calls" || name == "story" ||
           name == "story run" || name == "story from-log" || name == "story record";
}

// Reads the options before the command into TV_DEVICE_ROOT. -1 when they are fine, else the
// exit code.
int ReadOptions(Args* args) {
    size_t next = 0;
    while (next < args->size() && (*args)[next].rfind("--", 0) == 0) {
        const std::string& option = (*args)[next];
        std::string root;
        if (option == "--root" && next + 1 < args->size()) {
            root = (*args)[++next];
        } else if (option.rfind("--root=", 0) == 0) {
            root = option.substr(7);
        } else if (option == "--root") {
            return Fail(EXIT_USAGE, "--root needs a directory");
        } else if (option == "--help") {
            return Help({});
        } else if (option == "--version") {
            printf("tvctl (brenwick) %s\n", BRENWICK_VERSION);
            return EXIT_DONE;
        } else {
            return Fail(EXIT_USAGE, "unknown option '" + option + "' (see: tvctl help)");
        }
        // An unset shell variable must never mean the default television.
        if (root.empty())
            return Fail(EXIT_USAGE, "--root is empty: give the device root's directory");
        setenv("TV_DEVICE_ROOT", root.c_str(), 1);
        ++next;
    }
    args->erase(args->begin(), args->begin() + static_cast<long>(next));
    return -1;
}

}  // namespace

}  // namespace tvctl

int main(int argc, char** argv) {
    using namespace tvctl;
    Args args(argv + 1, argv + argc);
    int optionsCode = ReadOptions(&args);
    if (optionsCode >= 0)
        return optionsCode;
    if (args.empty())
        return Fail(EXIT_USAGE, "no command given (see: tvctl help)");

    size_t wordCount = 0;
    const Command* command = FindCommand(args, &wordCount);
    if (!command)
        return UnknownCommand(args);
    args.erase(args.begin(), args.begin() + static_cast<long>(wordCount));
    if (command->name != "help" && !(!args.empty() && args[0] == "--help")) {
        std::string problem = tvhost::DeviceRootProblem();
        if (!problem.empty())
            return Fail(EXIT_USAGE, problem);
        // Made absolute once, here: whatever this process or its children do, the root stays.
        setenv("TV_DEVICE_ROOT", tvhost::DeviceRoot().c_str(), 1);
        if (!NeedsNoRoot(command->name) && !tvhost::DeviceRootExists()) {
            return Fail(EXIT_FAILED, "no provisioned device root at " + tvhost::DeviceRoot() +
                                         " (run: tvctl init)");
        }
    }
    tvhost::SetSelfAppId("tvctl");
    return RunCommand(*command, args);
}
