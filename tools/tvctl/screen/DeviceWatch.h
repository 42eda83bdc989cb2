// Tells when anything the page draws may have changed in the device root: its keys, journals,
// log, running applications, packages, store files, fault rules and the service's files. One
// inotify descriptor on the main loop; a burst of changes is told once.
#pragma once

#include <glib.h>

#include <functional>
#include <string>

namespace tvctl {

class DeviceWatch {
  public:
    // `changed` runs on the main loop after changes, and once soon after construction.
    explicit DeviceWatch(std::function<void()> changed);
    ~DeviceWatch();
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

  private:
    static gboolean OnReadable(gint fd, GIOCondition condition, gpointer self);
    static gboolean OnSettled(gpointer self);
    void Arm();
    void AddTree(const std::string& dir, int depth);
    void Schedule();

    std::function<void()> m_changed;
    std::string m_root;
    int m_fd = -1;
    int m_parentWatch = -1;
    guint m_source = 0;
    guint m_idle = 0;
    bool m_rearm = true;
};

}  // namespace tvctl
