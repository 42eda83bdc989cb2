// `store play` and `store serve`: the console stands in for the store service.
#include <glib-unix.h>
#include <glib.h>

#include <cstdio>
#include <memory>

#include "Commands.h"
#include "ConsoleUtil.h"
#include "HostCore.h"
#include "Narrator.h"
#include "ServiceNames.h"
#include "StorePlayer.h"

namespace tvctl {
namespace {

gboolean Quit(gpointer stop) {
    *static_cast<bool*>(stop) = true;
    return G_SOURCE_CONTINUE;
}

// SIGINT and SIGTERM set *stop on the default main context for as long as it lives.
class StopOnSignals {
  public:
    explicit StopOnSignals(bool* stop)
        : m_term(g_unix_signal_add(SIGTERM, Quit, stop)),
          m_interrupt(g_unix_signal_add(SIGINT, Quit, stop)) {}
    ~StopOnSignals() {
        g_source_remove(m_term);
        g_source_remove(m_interrupt);
    }

  private:
    guint m_term;
    guint m_interrupt;
};

int Play(const Args& args) {
    PlayOptions options;
    std::string error;
    if (!ParsePlayOptions(args, &options, &error))
        return BadUsage(error);
    if (OnlyChecking())
        return EXIT_DONE;
    if (!tvhost::AppRunning(SERVICE_APP_ID)) {
        return Fail(EXIT_FAILED, std::string(SERVICE_APP_ID) + " is not running");
    }
    std::unique_ptr<Narrator> narrator(options.narrate ? new Narrator() : nullptr);
    bool stop = false;
    StopOnSignals signals(&stop);
    if (!PlayPriorityUpdate(options, narrator.get(), &stop))
        return Fail(EXIT_FAILED, "store play: interrupted before the update ended");
    return EXIT_DONE;
}

int Serve(const Args& args) {
    PlayOptions options;
    std::string error;
    if (!ParsePlayOptions(args, &options, &error))
        return BadUsage(error);
    if (OnlyChecking())
        return EXIT_DONE;
    if (tvhost::ServeApp(tvhost::STORE_APP_ID, &error) != 0)
        return Fail(EXIT_FAILED, "cannot serve as the store service: " + error);
    // One story for the whole session, so that what the service does when it asks is told too.
    std::unique_ptr<Narrator> narrator(options.narrate ? new Narrator() : nullptr);
    int pending = 0;
    tvhost::SetMessageHandler("priority_update_request", [&](const Json::Value& request) {
        printf("store: priority update requested by %s\n", request["caller"].asString().c_str());
        fflush(stdout);
        ++pending;
    });
    bool stop = false;
    StopOnSignals signals(&stop);
    printf("store: serving; waiting for priority update requests\n");
    fflush(stdout);
    // Requests that arrive while one update plays are played one after the other.
    while (!stop) {
        g_main_context_iteration(nullptr, TRUE);
        while (pending > 0 && !stop) {
            --pending;
            PlayPriorityUpdate(options, narrator.get(), &stop);
        }
    }
    tvhost::SetMessageHandler("priority_update_request", nullptr);
    tvhost::StopServing();
    printf("store: stopped serving%s\n",
           pending > 0 ? (" (" + std::to_string(pending) + " request(s) not played)").c_str() : "");
    return EXIT_DONE;
}

TVCTL_COMMAND("store play", "store play [OPTIONS]",
              "play one priority update (--id ID --version V --group G --max-retry N "
              "--step-delay S --answer-timeout S --fail download|install|space --attempts N "
              "--narrate)",
              Play);
TVCTL_COMMAND("store serve", "store serve [OPTIONS]",
              "stay running as the store service: each request of an application plays one "
              "priority update (options as store play)",
              Serve);

}  // namespace
}  // namespace tvctl
