// Settings store commands: get, set, unset, watch.
#include <glib-unix.h>
#include <glib.h>
#include <signal.h>

#include <climits>
#include <cstdio>

#include "Commands.h"
#include "ConsoleUtil.h"
#include "VconfInternal.h"
#include "vconf.h"

namespace tvctl {
namespace {

const char* const GET_USAGE = "get KEY";
const char* const SET_USAGE = "set [-t string|int] KEY VALUE";
const char* const UNSET_USAGE = "unset KEY";
const char* const WATCH_USAGE = "watch KEY...";

int BadKey(const std::string& key) {
    return BadUsage("bad key name '" + key +
                    "' (parts separated by '/', none empty or starting with '.')");
}

int Get(const Args& args) {
    if (int code = CheckArgs(args, {"KEY"}))
        return code;
    if (!tvhost::ValidKeyName(args[0]))
        return BadKey(args[0]);
    if (OnlyChecking())
        return EXIT_DONE;
    tvhost::KeyValue value = tvhost::ReadKey(args[0]);
    if (value.type == 's')
        printf("%s\n", value.str.c_str());
    if (value.type == 'i')
        printf("%d\n", value.num);
    if (value.malformed)
        return Fail(EXIT_FAILED, "malformed value in kdb/" + args[0]);
    return value.type ? EXIT_DONE : Fail(EXIT_FAILED, args[0] + " is not set");
}

int Set(const Args& args) {
    std::string type = "string";
    size_t first = 0;
    if (!args.empty() && args[0] == "-t") {
        if (args.size() < 2)
            return BadUsage("-t needs a type: string or int");
        type = args[1];
        first = 2;
    }
    if (type != "string" && type != "int")
        return BadUsage("-t must be string or int, got '" + type + "'");
    if (int code =
            CheckArgs(Args(args.begin() + static_cast<long>(first), args.end()), {"KEY", "VALUE"}))
        return code;
    const std::string& key = args[first];
    std::string value = args[first + 1];
    if (!tvhost::ValidKeyName(key))
        return BadKey(key);
    int number = 0;
    if (type == "int") {
        std::string problem = IntProblem("VALUE", value, INT_MIN, INT_MAX, &number);
        if (!problem.empty())
            return BadUsage(problem);
        value = std::to_string(number);
    }
    if (OnlyChecking())
        return EXIT_DONE;
    // Written through the store's files: the console is not subject to fault rules.
    if (!tvhost::StoreKey(key, type[0], value))
        return Fail(EXIT_FAILED, "cannot write " + key);
    printf("%s = %s\n", key.c_str(), value.c_str());
    return EXIT_DONE;
}

int Unset(const Args& args) {
    if (int code = CheckArgs(args, {"KEY"}))
        return code;
    if (!tvhost::ValidKeyName(args[0]))
        return BadKey(args[0]);
    if (OnlyChecking())
        return EXIT_DONE;
    if (!tvhost::RemoveKey(args[0]))
        return Fail(EXIT_FAILED, args[0] + " is not set");
    printf("%s removed\n", args[0].c_str());
    return EXIT_DONE;
}

void PrintChange(keynode_t* node, void*) {
    const char* name = vconf_keynode_get_name(node);
    switch (vconf_keynode_get_type(node)) {
        case VCONF_TYPE_STRING:
            printf("%s %s\n", name, vconf_keynode_get_str(node));
            break;
        case VCONF_TYPE_INT:
            printf("%s %d\n", name, vconf_keynode_get_int(node));
            break;
        default:
            printf("%s (unset)\n", name);
    }
    fflush(stdout);
}

gboolean QuitLoop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_CONTINUE;
}

int Watch(const Args& args) {
    if (args.empty())
        return BadUsage("KEY is missing");
    for (const auto& key : args) {
        if (!tvhost::ValidKeyName(key))
            return BadKey(key);
    }
    if (OnlyChecking())
        return EXIT_DONE;
    for (const auto& key : args) {
        if (vconf_notify_key_changed(key.c_str(), PrintChange, nullptr) != VCONF_OK) {
            return Fail(EXIT_FAILED, "cannot watch " + key);
        }
    }
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGINT, QuitLoop, loop);
    g_unix_signal_add(SIGTERM, QuitLoop, loop);
    // Scripts wait for this line before they make the changes they want to see.
    std::string keys;
    for (const auto& key : args)
        keys += " " + key;
    fprintf(stderr, "watching%s\n", keys.c_str());
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    return EXIT_DONE;
}

TVCTL_COMMAND("get", GET_USAGE, "print the value of a settings key", Get);
TVCTL_COMMAND("set", SET_USAGE, "write a settings key (string by default) and notify its watchers",
              Set);
TVCTL_COMMAND("unset", UNSET_USAGE, "remove a settings key", Unset);
TVCTL_COMMAND("watch", WATCH_USAGE, "print KEY VALUE for each change until interrupted", Watch);

}  // namespace
}  // namespace tvctl
