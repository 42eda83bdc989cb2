// `tvctl screen`: the television's screen in a browser, served until interrupted.
#include <glib-unix.h>
#include <signal.h>

#include <cstdio>

#include "Commands.h"
#include "ConsoleUtil.h"
#include "HostCore.h"
#include "ScreenServer.h"

namespace tvctl {
namespace {

const char* const SCREEN_USAGE = "screen [--port N] [--bind ADDR]";

gboolean Quit(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_CONTINUE;
}

int Screen(const Args& args) {
    int port = 0;
    std::string bind = "127.0.0.1";
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--port" && args[i] != "--bind")
            return BadUsage("unknown option '" + args[i] + "'");
        if (i + 1 == args.size())
            return BadUsage("missing value after " + args[i]);
        const std::string& value = args[++i];
        if (args[i - 1] == "--bind") {
            bind = value;
        } else if (!IntProblem("port", value, 1, 65535, &port).empty()) {
            return Fail(EXIT_USAGE, "bad port '" + value + "': give a number from 1 to 65535");
        }
    }
    GInetAddress* address = g_inet_address_new_from_string(bind.c_str());
    if (!address)
        return Fail(EXIT_USAGE, "bad address '" + bind + "': give an IPv4 or IPv6 address");
    bool loopback = g_inet_address_get_is_loopback(address);

    {
        ScreenServer server;
        std::string error;
        bool listening = server.Listen(address, port, &error);
        g_object_unref(address);
        if (!listening)
            return Fail(EXIT_FAILED, "cannot serve the screen: " + error);
        if (!loopback) {
            fprintf(stderr,
                    "tvctl: screen: listening on %s, which is not a loopback address: whoever "
                    "reaches it can drive this television\n",
                    bind.c_str());
        }
        GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
        guint interrupt = g_unix_signal_add(SIGINT, Quit, loop);
        guint term = g_unix_signal_add(SIGTERM, Quit, loop);
        // Scripts wait for this line: from here on an interrupt ends the screen cleanly.
        printf("screen of the television at %s: open %s (Ctrl-C stops)\n",
               tvhost::DeviceRoot().c_str(), server.Url().c_str());
        fflush(stdout);
        g_main_loop_run(loop);
        g_source_remove(interrupt);
        g_source_remove(term);
        g_main_loop_unref(loop);
    }
    return EXIT_DONE;
}

}  // namespace

TVCTL_COMMAND("screen", SCREEN_USAGE,
              "serve the television's screen, remote, store and service state as a web page "
              "(127.0.0.1 and a free port unless told otherwise)",
              Screen);

}  // namespace tvctl
