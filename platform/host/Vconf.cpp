// The settings store: one file per key under ROOT/kdb, "s:VALUE" or "i:N".
//
// Writes go through a temporary file and a rename, so a reader never sees half a value (an
// in-place write did let readers see partial values). Watchers follow the key directories, and
// the directories above them, with one raw inotify descriptor per process, read on the default
// GLib main context: a GLib file monitor added up to 100 ms of delay, raw inotify adds next to
// nothing. Because callbacks only ever run from that descriptor's source, none can run inside a
// vconf_set_* call.
#include <glib-unix.h>
#include <glib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "FdSource.h"
#include "HostCore.h"
#include "VconfInternal.h"
#include "vconf.h"

struct _keynode_t {
    std::string name;
    tvhost::KeyValue value;
};

namespace tvhost {

bool ValidKeyName(const std::string& key) {
    if (key.empty() || key[0] == '/' || key.back() == '/')
        return false;
    size_t start = 0;
    while (start <= key.size()) {
        size_t end = key.find('/', start);
        if (end == std::string::npos)
            end = key.size();
        if (end == start || key[start] == '.')
            return false;
        start = end + 1;
    }
    return true;
}

std::string KeyPath(const std::string& key) {
    return RootPath("kdb/" + key);
}

KeyValue ParseKeyFile(const std::string& content) {
    KeyValue value;
    long long number = 0;
    if (content.compare(0, 2, "s:") == 0) {
        value.type = 's';
        value.str = content.substr(2);
    } else if (content.compare(0, 2, "i:") == 0 &&
               ParseDecimal(content.substr(2), INT_MIN, INT_MAX, &number)) {
        value.type = 'i';
        value.num = static_cast<int>(number);
    } else {
        value.malformed = true;
    }
    return value;
}

KeyValue ReadKey(const std::string& key) {
    std::string content;
    if (!ValidKeyName(key) || !ReadWholeFile(KeyPath(key), &content))
        return KeyValue();
    return ParseKeyFile(content);
}

// The key's directory is made when the write finds it missing, not asked for before each write.
bool StoreKey(const std::string& key, char type, const std::string& value) {
    if (!ValidKeyName(key) || (type != 's' && type != 'i'))
        return false;
    std::string path = KeyPath(key);
    std::string content = std::string(1, type) + ":" + value;
    if (WriteFileAtomic(path, content))
        return true;
    return errno == ENOENT && MakeDirs(path.substr(0, path.rfind('/'))) &&
           WriteFileAtomic(path, content);
}

bool RemoveKey(const std::string& key) {
    return ValidKeyName(key) && unlink(KeyPath(key).c_str()) == 0;
}

}  // namespace tvhost

namespace {

struct Watcher {
    unsigned long id;
    std::string key;
    vconf_callback_fn cb;
    void* userData;
};

struct WatchedDir {
    std::string root;
    std::string dir;  // relative to kdb, "" for kdb itself
    uint32_t mask;
};

// Per-process watch state. Never destroyed: callbacks may be withdrawn by static destructors.
//
// A key's directory is watched together with every directory above it up to kdb, so that when
// the key's directory is removed (or moved away) and made again, the new directory is seen
// being made and is watched in its turn: watchers outlive their directory.
struct WatchState {
    std::mutex mutex;
    int fd = -1;
    std::map<int, WatchedDir> dirs;       // by watch descriptor
    std::map<std::string, int> wdByPath;  // absolute directory -> watch descriptor
    std::vector<Watcher> watchers;
    unsigned long nextId = 1;
};

// A key's directory: keys come by a rename into place and go by a removal or a rename away.
constexpr uint32_t KEY_DIR_MASK = IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ONLYDIR;
// A directory above a watched key's also tells when a directory is made in it. A key's directory
// is not told of its writers' temporary files being made, which would wake the loop once more
// for every write.
constexpr uint32_t ABOVE_KEY_MASK = KEY_DIR_MASK | IN_CREATE;

WatchState& State() {
    static WatchState* state = new WatchState();
    return *state;
}

std::string KeyDir(const std::string& key) {
    size_t slash = key.rfind('/');
    return slash == std::string::npos ? "" : key.substr(0, slash);
}

std::string DirPath(const std::string& root, const std::string& dir) {
    return root + "/kdb/" + dir;
}

// True when `dir` is `top` or lies below it ("" is above everything).
bool Within(const std::string& dir, const std::string& top) {
    return top.empty() || dir == top || dir.compare(0, top.size() + 1, top + "/") == 0;
}

bool StillRegistered(unsigned long id) {
    WatchState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    for (const auto& watcher : state.watchers) {
        if (watcher.id == id)
            return true;
    }
    return false;
}

// Calls every callback of `key` once with the value as it is now. Callbacks may add or remove
// watches, so they are called from a copy and each is re-checked just before its call.
void Deliver(const std::string& key) {
    std::vector<Watcher> targets;
    {
        WatchState& state = State();
        std::lock_guard<std::mutex> lock(state.mutex);
        for (const auto& watcher : state.watchers) {
            if (watcher.key == key)
                targets.push_back(watcher);
        }
    }
    if (targets.empty())
        return;
    keynode_t node;
    node.name = key;
    node.value = tvhost::ReadKey(key);
    for (const auto& watcher : targets) {
        if (StillRegistered(watcher.id))
            watcher.cb(&node, watcher.userData);
    }
}

// Keys in order of first appearance, each once, so a burst of writes gives one callback per key.
class KeyList {
  public:
    void Add(const std::string& key) {
        if (m_seen.insert(key).second)
            m_keys.push_back(key);
    }
    const std::vector<std::string>& Keys() const { return m_keys; }

  private:
    std::vector<std::string> m_keys;
    std::set<std::string> m_seen;
};

// The directories from kdb down to `dir`: "", "memory", "memory/pax".
std::vector<std::string> Levels(const std::string& dir) {
    std::vector<std::string> levels{""};
    if (dir.empty())
        return levels;
    for (size_t slash = dir.find('/'); slash != std::string::npos; slash = dir.find('/', slash + 1))
        levels.push_back(dir.substr(0, slash));
    levels.push_back(dir);
    return levels;
}

// Caller holds the state mutex. Watches `dir` and the directories above it that exist and are
// not watched yet; stops at the first that does not exist, as its parent will report its making.
// *fresh tells whether `dir` itself got a new watch.
void WatchChain(WatchState& state, const std::string& root, const std::string& dir, bool* fresh) {
    *fresh = false;
    for (const auto& level : Levels(dir)) {
        std::string path = DirPath(root, level);
        uint32_t mask = level == dir ? KEY_DIR_MASK : ABOVE_KEY_MASK;
        auto watched = state.wdByPath.find(path);
        if (watched != state.wdByPath.end()) {
            // A key's directory that comes to lie above another watched key's learns of
            // directories being made in it as well.
            WatchedDir& known = state.dirs[watched->second];
            if ((known.mask & mask) != mask &&
                inotify_add_watch(state.fd, path.c_str(), mask | IN_MASK_ADD) >= 0)
                known.mask |= mask;
            continue;
        }
        int wd = inotify_add_watch(state.fd, path.c_str(), mask);
        if (wd < 0)
            return;
        state.dirs[wd] = WatchedDir{root, level, mask};
        state.wdByPath[path] = wd;
        *fresh = level == dir;
    }
}

// Caller holds the state mutex. After a directory appeared: watches what is missing again. A key
// written into a directory before its watch existed is reported as changed.
void RewatchAll(WatchState& state, KeyList* changed) {
    std::string root = tvhost::DeviceRoot();
    for (const auto& watcher : state.watchers) {
        bool fresh = false;
        WatchChain(state, root, KeyDir(watcher.key), &fresh);
        if (fresh && access(tvhost::KeyPath(watcher.key).c_str(), F_OK) == 0)
            changed->Add(watcher.key);
    }
}

// Caller holds the state mutex. A directory that left its place (removed, or moved away, which
// would take its watch along) loses its watches and those of the directories below it.
void DropDir(WatchState& state, const WatchedDir& gone) {
    for (auto it = state.dirs.begin(); it != state.dirs.end();) {
        if (it->second.root != gone.root || !Within(it->second.dir, gone.dir)) {
            ++it;
            continue;
        }
        inotify_rm_watch(state.fd, it->first);
        state.wdByPath.erase(DirPath(it->second.root, it->second.dir));
        it = state.dirs.erase(it);
    }
}

// The keys named by the events of one read().
std::vector<std::string> ChangedKeys(const char* buffer, ssize_t length) {
    WatchState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    std::string root = tvhost::DeviceRoot();
    KeyList changed;
    bool dirAppeared = false;
    for (ssize_t offset = 0; offset < length;) {
        const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + offset);
        offset += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        if (event->mask & IN_Q_OVERFLOW) {
            for (const auto& watcher : state.watchers)
                changed.Add(watcher.key);
            dirAppeared = true;
            continue;
        }
        auto found = state.dirs.find(event->wd);
        if (found == state.dirs.end())
            continue;
        WatchedDir dir = found->second;
        if (event->mask & IN_IGNORED) {
            state.dirs.erase(found);
            auto path = state.wdByPath.find(DirPath(dir.root, dir.dir));
            if (path != state.wdByPath.end() && path->second == event->wd)
                state.wdByPath.erase(path);
            continue;
        }
        // Names starting with '.' are writers' temporary files, never keys.
        if (event->len == 0 || event->name[0] == '.' || dir.root != root)
            continue;
        std::string name = dir.dir.empty() ? event->name : dir.dir + "/" + event->name;
        if (!(event->mask & IN_ISDIR)) {
            // A key file comes into being by its rename into place.
            if (!(event->mask & IN_CREATE))
                changed.Add(name);
        } else if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
            dirAppeared = true;
        } else {
            DropDir(state, WatchedDir{root, name, 0});
            // Keys of a removed directory were reported one by one; a moved one takes them along.
            for (const auto& watcher : state.watchers) {
                if ((event->mask & IN_MOVED_FROM) && Within(KeyDir(watcher.key), name))
                    changed.Add(watcher.key);
            }
        }
    }
    if (dirAppeared)
        RewatchAll(state, &changed);
    return changed.Keys();
}

gboolean OnInotifyReadable(gint fd, GIOCondition, gpointer) {
    alignas(struct inotify_event) char buffer[65536];
    ssize_t length = read(fd, buffer, sizeof buffer);
    if (length <= 0)
        return G_SOURCE_CONTINUE;
    std::vector<std::string> keys = ChangedKeys(buffer, length);
    if (keys.empty())
        return G_SOURCE_CONTINUE;
    tvhost::ChangeScope scope;
    for (const auto& key : keys)
        Deliver(key);
    return G_SOURCE_CONTINUE;
}

// Caller holds the state mutex.
bool EnsureWatch(WatchState& state, const std::string& key) {
    if (state.fd < 0) {
        state.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (state.fd < 0)
            return false;
        tvhost::AddFdSource(state.fd, G_IO_IN, OnInotifyReadable, nullptr);
    }
    std::string root = tvhost::DeviceRoot();
    std::string dir = KeyDir(key);
    // Watching a directory needs it to exist; a key may be watched before it is first written.
    if (!tvhost::MakeDirs(DirPath(root, dir)))
        return false;
    bool fresh = false;
    WatchChain(state, root, dir, &fresh);
    return state.wdByPath.count(DirPath(root, dir)) > 0;
}

}  // namespace

extern "C" {

char* vconf_get_str(const char* key) {
    if (tvhost::FaultHit("vconf_get_str") || !key)
        return nullptr;
    tvhost::KeyValue value = tvhost::ReadKey(key);
    if (value.type != 's')
        return nullptr;
    return strdup(value.str.c_str());
}

int vconf_get_int(const char* key, int* value) {
    int result = 0;
    if (tvhost::FaultHit("vconf_get_int", &result))
        return result;
    if (!key || !value)
        return VCONF_ERROR;
    tvhost::KeyValue stored = tvhost::ReadKey(key);
    if (stored.type != 'i')
        return VCONF_ERROR;
    *value = stored.num;
    return VCONF_OK;
}

int vconf_set_str(const char* key, const char* value) {
    int result = 0;
    if (tvhost::FaultHit("vconf_set_str", &result))
        return result;
    if (!key || !value)
        return VCONF_ERROR;
    return tvhost::StoreKey(key, 's', value) ? VCONF_OK : VCONF_ERROR;
}

int vconf_set_int(const char* key, int value) {
    int result = 0;
    if (tvhost::FaultHit("vconf_set_int", &result))
        return result;
    if (!key)
        return VCONF_ERROR;
    return tvhost::StoreKey(key, 'i', std::to_string(value)) ? VCONF_OK : VCONF_ERROR;
}

int vconf_unset(const char* key) {
    int result = 0;
    if (tvhost::FaultHit("vconf_unset", &result))
        return result;
    if (!key)
        return VCONF_ERROR;
    return tvhost::RemoveKey(key) ? VCONF_OK : VCONF_ERROR;
}

int vconf_notify_key_changed(const char* key, vconf_callback_fn cb, void* user_data) {
    int result = 0;
    if (tvhost::FaultHit("vconf_notify_key_changed", &result))
        return result;
    if (!key || !cb || !tvhost::ValidKeyName(key))
        return VCONF_ERROR;
    WatchState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!EnsureWatch(state, key))
        return VCONF_ERROR;
    state.watchers.push_back(Watcher{state.nextId++, key, cb, user_data});
    return VCONF_OK;
}

int vconf_ignore_key_changed(const char* key, vconf_callback_fn cb) {
    int result = 0;
    if (tvhost::FaultHit("vconf_ignore_key_changed", &result))
        return result;
    if (!key || !cb)
        return VCONF_ERROR;
    WatchState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    size_t before = state.watchers.size();
    for (auto it = state.watchers.begin(); it != state.watchers.end();) {
        it = (it->key == key && it->cb == cb) ? state.watchers.erase(it) : it + 1;
    }
    return state.watchers.size() < before ? VCONF_OK : VCONF_ERROR;
}

char* vconf_keynode_get_name(keynode_t* node) {
    if (tvhost::FaultHit("vconf_keynode_get_name") || !node)
        return nullptr;
    return const_cast<char*>(node->name.c_str());
}

int vconf_keynode_get_type(keynode_t* node) {
    int result = 0;
    if (tvhost::FaultHit("vconf_keynode_get_type", &result))
        return result;
    return node ? node->value.type : static_cast<int>(VCONF_TYPE_NONE);
}

char* vconf_keynode_get_str(keynode_t* node) {
    if (tvhost::FaultHit("vconf_keynode_get_str") || !node)
        return nullptr;
    if (node->value.type != 's')
        return nullptr;
    return const_cast<char*>(node->value.str.c_str());
}

int vconf_keynode_get_int(keynode_t* node) {
    int result = 0;
    if (tvhost::FaultHit("vconf_keynode_get_int", &result))
        return result;
    if (!node || node->value.type != 'i')
        return 0;
    return node->value.num;
}

}  // extern "C"
