// The table of commands and the running of one; apart from main(), so that other programs (the
// fuzz targets) can run a command as the console does.
#include "Commands.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace tvctl {

namespace {

std::vector<Command>& Registry() {
    static auto* commands = new std::vector<Command>();
    return *commands;
}

const Command* g_current = nullptr;
bool g_checking = false;
std::string g_refusal;  // what a checked command would have printed

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::stringstream stream(text);
    std::string word;
    while (stream >> word)
        words.push_back(word);
    return words;
}

}  // namespace

void RegisterCommand(const Command& command) {
    Registry().push_back(command);
}

const std::vector<Command>& AllCommands() {
    return Registry();
}

int Fail(int code, const std::string& message) {
    if (g_checking) {
        g_refusal = message;
        return code;
    }
    fprintf(stderr, "tvctl: %s\n", message.c_str());
    return code;
}

const Command* FindCommand(const Args& args, size_t* wordCount) {
    const Command* best = nullptr;
    for (const auto& command : AllCommands()) {
        std::vector<std::string> words = Words(command.name);
        if (words.size() > args.size() || !std::equal(words.begin(), words.end(), args.begin()))
            continue;
        if (!best || words.size() > *wordCount) {
            best = &command;
            *wordCount = words.size();
        }
    }
    return best;
}

std::string UnknownCommandProblem(const Args& args) {
    bool isGroup = std::any_of(AllCommands().begin(), AllCommands().end(), [&](const Command& c) {
        return c.name.substr(0, c.name.find(' ')) == args[0];
    });
    return "unknown command '" + (isGroup && args.size() > 1 ? args[0] + " " + args[1] : args[0]) +
           "'";
}

bool OnlyChecking() {
    return g_checking;
}

std::string CheckCommand(const Command& command, const Args& args) {
    g_checking = true;
    g_refusal.clear();
    int code = RunCommand(command, args);
    g_checking = false;
    if (code == EXIT_DONE)
        return "";
    return g_refusal.empty() ? command.name + ": refused" : g_refusal;
}

// A command that names a group ("story") lists the group's commands after its own usage.
void PrintUsage(const Command& command) {
    printf("usage: tvctl %s\n  %s\n", command.usage.c_str(), command.help.c_str());
    for (const auto& member : AllCommands()) {
        if (member.name.rfind(command.name + " ", 0) == 0)
            printf("  tvctl %s\n      %s\n", member.usage.c_str(), member.help.c_str());
    }
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
