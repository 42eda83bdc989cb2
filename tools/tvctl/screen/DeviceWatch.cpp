#include "DeviceWatch.h"

#include <dirent.h>
#include <glib-unix.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>

#include "HostCore.h"

namespace tvctl {

namespace {

// Directories under the root whose entries the page draws; kdb/ is watched with its subtrees.
const char* const WATCHED_DIRS[] = {
    "log",
    "run",
    "packages",
    "store",
    "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/data",
    "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/shared/trusted",
    "fs/opt/usr/home/owner/share",
};
constexpr int KEY_TREE_DEPTH = 8;
constexpr uint32_t DIR_EVENTS = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_MODIFY |
                                IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// Events that change which directories exist, after which the watches are laid again.
constexpr uint32_t TREE_EVENTS = IN_ISDIR | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF;

// The root as an absolute path without a trailing slash, so that its parent can be watched.
std::string AbsoluteRoot() {
    std::string root = tvhost::DeviceRoot();
    if (root.empty() || root[0] != '/') {
        char* cwd = g_get_current_dir();
        root = std::string(cwd) + "/" + root;
        g_free(cwd);
    }
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

// Temporary files of atomic writes tell nothing until renamed, nor do lock files; the service's
// own dot files (".resetflag", the Home reset flag) and the root's mark do.
bool Tells(const char* name) {
    size_t length = strlen(name);
    bool lock = length >= 5 && strcmp(name + length - 5, ".lock") == 0;
    return !lock && strncmp(name, ".tmp.", 5) != 0;
}

}  // namespace

DeviceWatch::DeviceWatch(std::function<void()> changed)
    : m_changed(std::move(changed)), m_root(AbsoluteRoot()) {
    m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd >= 0)
        m_source = g_unix_fd_add(m_fd, G_IO_IN, OnReadable, this);
    Schedule();
}

DeviceWatch::~DeviceWatch() {
    if (m_idle)
        g_source_remove(m_idle);
    if (m_source)
        g_source_remove(m_source);
    if (m_fd >= 0)
        close(m_fd);
}

// Adding a watch that exists already only renews it, so arming again is always safe.
void DeviceWatch::Arm() {
    if (m_fd < 0)
        return;
    // The parent sees the root itself appear and go: a wiped and provisioned root comes back.
    std::string parent = m_root.substr(0, m_root.rfind('/'));
    m_parentWatch = inotify_add_watch(m_fd, parent.empty() ? "/" : parent.c_str(),
                                      IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM);
    inotify_add_watch(m_fd, m_root.c_str(), DIR_EVENTS);
    for (const char* dir : WATCHED_DIRS)
        inotify_add_watch(m_fd, (m_root + "/" + dir).c_str(), DIR_EVENTS);
    AddTree(m_root + "/kdb", KEY_TREE_DEPTH);
}

void DeviceWatch::AddTree(const std::string& dir, int depth) {
    if (depth == 0 || inotify_add_watch(m_fd, dir.c_str(), DIR_EVENTS) < 0)
        return;
    DIR* entries = opendir(dir.c_str());
    if (!entries)
        return;
    while (struct dirent* entry = readdir(entries)) {
        if (entry->d_type == DT_DIR && entry->d_name[0] != '.')
            AddTree(dir + "/" + entry->d_name, depth - 1);
    }
    closedir(entries);
}

gboolean DeviceWatch::OnReadable(gint fd, GIOCondition, gpointer data) {
    auto* self = static_cast<DeviceWatch*>(data);
    alignas(struct inotify_event) char buffer[16384];
    ssize_t length;
    bool relevant = false;
    while ((length = read(fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            const char* name = event->len > 0 ? event->name : "";
            if (event->wd == self->m_parentWatch) {
                // Only the root itself matters among its siblings.
                if (self->m_root.compare(self->m_root.rfind('/') + 1, std::string::npos, name) ==
                    0) {
                    self->m_rearm = relevant = true;
                }
                continue;
            }
            if (event->mask & TREE_EVENTS)
                self->m_rearm = true;
            if (Tells(name) || (event->mask & TREE_EVENTS))
                relevant = true;
        }
    }
    if (relevant)
        self->Schedule();
    return G_SOURCE_CONTINUE;
}

void DeviceWatch::Schedule() {
    if (!m_idle)
        m_idle = g_idle_add_full(G_PRIORITY_DEFAULT, OnSettled, this, nullptr);
}

gboolean DeviceWatch::OnSettled(gpointer data) {
    auto* self = static_cast<DeviceWatch*>(data);
    self->m_idle = 0;
    if (self->m_rearm) {
        self->m_rearm = false;
        self->Arm();
    }
    self->m_changed();
    return G_SOURCE_REMOVE;
}

}  // namespace tvctl
