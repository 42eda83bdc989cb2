#include "MainLoopTimer.h"

#include <glib.h>

namespace {

struct Timeout {
    MainLoopTimer::Callback callback;
    void* userData;
};

gboolean RunOnce(gpointer data) {
    const auto* timeout = static_cast<const Timeout*>(data);
    timeout->callback(timeout->userData);
    return G_SOURCE_REMOVE;
}

void Release(gpointer data) {
    delete static_cast<Timeout*>(data);
}

}  // namespace

unsigned MainLoopTimer::Add(unsigned delayMs, Callback callback, void* userData) {
    return g_timeout_add_full(G_PRIORITY_DEFAULT, delayMs, RunOnce, new Timeout{callback, userData},
                              Release);
}

void MainLoopTimer::Remove(unsigned id) {
    g_source_remove(id);
}
