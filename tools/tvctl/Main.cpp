// The device console: tvctl [--root DIR] COMMAND [ARGS...].
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "Commands.h"
#include "HostCore.h"

namespace tvctl {

std::vector<Command>& Registry() {
    static auto* commands = new std::vector<Command>();
    return *commands;
}

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

namespace {

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::stringstream stream(text);
    std::string word;
    while (stream >> word)
        words.push_back(word);
    return words;
}

// The command whose words begin `args`, the longest such name winning ("store play" over
// "store"); null when none matches.
const Command* FindCommand(const Args& args, size_t* wordCount) {
    const Command* best = nullptr;
    for (const auto& command : AllCommands()) {
        std::vector<std::string> words = Words(command.name);
        if (words.size() > args.size() || !std::equal(words.begin(), words.end(), args.begin())) {
            continue;
        }
        if (!best || words.size() > *wordCount) {
            best = &command;
            *wordCount = words.size();
        }
    }
    return best;
}

int Help(const Args&) {
    std::vector<Command> commands = AllCommands();
    std::sort(commands.begin(), commands.end(),
              [](const Command& a, const Command& b) { return a.name < b.name; });
    printf("usage: tvctl [--root DIR] COMMAND [ARGS...]\n");
    printf("The device root is DIR, else TV_DEVICE_ROOT, else the default state directory.\n\n");
    for (const auto& command : commands) {
        printf("  %s\n      %s\n", command.usage.c_str(), command.help.c_str());
    }
    return EXIT_DONE;
}

TVCTL_COMMAND("help", "help", "list the commands", Help);

// Commands that make sense without a provisioned root.
bool NeedsNoRoot(const std::string& name) {
    return name == "init" || name == "help";
}

}  // namespace
}  // namespace tvctl

int main(int argc, char** argv) {
    using namespace tvctl;
    Args args(argv + 1, argv + argc);
    size_t next = 0;
    while (next < args.size() && args[next].rfind("--", 0) == 0) {
        if (args[next] == "--root" && next + 1 < args.size()) {
            setenv("TV_DEVICE_ROOT", args[next + 1].c_str(), 1);
            next += 2;
        } else if (args[next].rfind("--root=", 0) == 0) {
            setenv("TV_DEVICE_ROOT", args[next].substr(7).c_str(), 1);
            next += 1;
        } else if (args[next] == "--help") {
            return Help({});
        } else {
            return Fail(EXIT_USAGE, "bad option '" + args[next] + "' (see: tvctl help)");
        }
    }
    args.erase(args.begin(), args.begin() + static_cast<long>(next));
    if (args.empty())
        return Fail(EXIT_USAGE, "no command given (see: tvctl help)");

    size_t wordCount = 0;
    const Command* command = FindCommand(args, &wordCount);
    if (!command) {
        bool isGroup = std::any_of(AllCommands().begin(), AllCommands().end(),
                                   [&](const Command& c) { return Words(c.name)[0] == args[0]; });
        std::string name = isGroup && args.size() > 1 ? args[0] + " " + args[1] : args[0];
        return Fail(EXIT_USAGE, "unknown command '" + name + "' (see: tvctl help)");
    }
    if (!NeedsNoRoot(command->name) && !tvhost::DeviceRootExists()) {
        return Fail(EXIT_FAILED,
                    "no provisioned device root at " + tvhost::DeviceRoot() + " (run: tvctl init)");
    }
    tvhost::SetSelfAppId("tvctl");
    args.erase(args.begin(), args.begin() + static_cast<long>(wordCount));
    return command->run(args);
}
