// Descriptors watched on the default GLib main context by the host. Apart from HostCore.h, whose
// users need not see GLib (its TRUE and FALSE would clash with their names).
#pragma once

#include <glib-unix.h>

namespace tvhost {

// g_unix_fd_add, for a source whose handler copes with being called again while it runs (should
// something it calls run a main loop of its own). GLib is told so, which spares the two wake-ups
// of the loop that it makes around every dispatch of a source that cannot.
guint AddFdSource(int fd, GIOCondition condition, GUnixFDSourceFunc function, gpointer data);

}  // namespace tvhost
