// Changes under the device root that caches of this process depend on, seen through one inotify
// descriptor: the root itself (for `faults`, and for log/, run/ and apps/ coming and going), and
// log/, run/ and apps/. The kernel queues an event within the call that made the change, so a
// change made before Generation() is asked is always in the queue by then, in whichever process
// it was made; FIONREAD tells whether anything is queued without taking it, and without failing.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "HostCore.h"

namespace tvhost {
namespace {

constexpr int AREAS = 4;
// The directory each area follows; FAULTS follows the root itself.
const char* const AREA_DIRS[AREAS] = {"", "log", "run", "apps"};

constexpr uint32_t SELF = IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// `faults` is also edited in place, by hand or by a test.
constexpr uint32_t ROOT_MASK = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                               IN_CLOSE_WRITE | IN_ATTRIB | SELF;
// A log file held open is only lost by a removal or a rename; its creation by anyone is not a
// change to what is held.
constexpr uint32_t LOG_MASK = IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | SELF;
constexpr uint32_t LISTING_MASK = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | SELF;

int Index(Area area) {
    return static_cast<int>(area);
}

struct Watch {
    std::mutex mutex;
    int fd = -1;
    std::string root;  // what the watches are for; "" when there are none
    int wd[AREAS] = {-1, -1, -1, -1};
    unsigned long generation[AREAS] = {};
};

Watch& State();

// A child made by fork shares the descriptor with its parent: what one read, the other would
// never see. The child starts over with a descriptor of its own.
void ForkPrepare() {
    State().mutex.lock();
}
void ForkParent() {
    State().mutex.unlock();
}
void ForkChild() {
    Watch& watch = State();
    if (watch.fd >= 0)
        close(watch.fd);
    watch.fd = -1;
    watch.root.clear();
    watch.mutex.unlock();
}

Watch& State() {
    static Watch* watch = [] {
        auto* made = new Watch();  // outlives static destructors of other units
        pthread_atfork(ForkPrepare, ForkParent, ForkChild);
        return made;
    }();
    return *watch;
}

thread_local int t_scopes = 0;
thread_local bool t_asked = false;  // within the innermost ChangeScope
// What this thread is in: a number of its own for each stretch of a scope in which nothing was
// asked or changed anew, 0 outside any.
thread_local unsigned long t_stretch = 0;
std::atomic<unsigned long> g_stretches{0};

void NewStretch() {
    t_stretch = t_scopes > 0 ? ++g_stretches : 0;
}

void BumpAll(Watch& watch) {
    for (auto& generation : watch.generation)
        ++generation;
}

// Caller holds the mutex.
void WatchArea(Watch& watch, int area) {
    uint32_t mask = area == Index(Area::FAULTS) ? ROOT_MASK
                    : area == Index(Area::LOG)  ? LOG_MASK
                                                : LISTING_MASK;
    std::string dir = watch.root + (area == 0 ? "" : "/" + std::string(AREA_DIRS[area]));
    watch.wd[area] = inotify_add_watch(watch.fd, dir.c_str(), mask);
    ++watch.generation[area];
}

// Caller holds the mutex. Starts over for `root`: a new descriptor, so that nothing queued for
// the old root is read as news of the new one.
void WatchRoot(Watch& watch, const std::string& root) {
    if (watch.fd >= 0)
        close(watch.fd);
    watch.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    watch.root = root;
    for (int area = 0; area < AREAS; ++area)
        watch.wd[area] = -1;
    BumpAll(watch);
    if (watch.fd < 0 || root.empty())
        return;
    for (int area = 0; area < AREAS; ++area)
        WatchArea(watch, area);
}

// Caller holds the mutex. What one event means for the areas.
void Take(Watch& watch, const struct inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {
        BumpAll(watch);
        return;
    }
    int area = 0;
    while (area < AREAS && watch.wd[area] != event.wd)
        ++area;
    if (area == AREAS)
        return;  // a watch given up before
    bool gone = event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED);
    if (area == Index(Area::FAULTS)) {
        if (gone) {
            watch.root.clear();  // the root was removed or moved: watched again on the next ask
            BumpAll(watch);
            return;
        }
        std::string name = event.len ? event.name : "";
        if (name == "faults")
            ++watch.generation[area];
        for (int sub = 1; sub < AREAS; ++sub) {
            if (name != AREA_DIRS[sub])
                continue;
            // A directory of an area came or went: the watch of the old one is given up (it
            // would follow it where it was moved), and the new one is watched.
            if (watch.wd[sub] >= 0)
                inotify_rm_watch(watch.fd, watch.wd[sub]);
            watch.wd[sub] = -1;
            ++watch.generation[sub];
            if (event.mask & (IN_CREATE | IN_MOVED_TO))
                WatchArea(watch, sub);
        }
        return;
    }
    // A removed directory's watch ends by itself; a moved one's would follow it.
    if (event.mask & IN_MOVE_SELF)
        inotify_rm_watch(watch.fd, watch.wd[area]);
    if (gone)
        watch.wd[area] = -1;
    ++watch.generation[area];
}

// Caller holds the mutex.
void CatchUp(Watch& watch) {
    std::string root = DeviceRoot();
    if (watch.fd < 0 || root.empty() || root != watch.root) {
        WatchRoot(watch, root);
        return;
    }
    int queued = 0;
    if (ioctl(watch.fd, FIONREAD, &queued) != 0) {
        BumpAll(watch);
        return;
    }
    // Everything that was queued when asked is taken, however much it was.
    alignas(struct inotify_event) char buffer[4096];
    for (ssize_t taken = 0; taken < queued;) {
        ssize_t length = read(watch.fd, buffer, sizeof buffer);
        if (length <= 0) {
            BumpAll(watch);
            break;
        }
        taken += length;
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            Take(watch, *event);
        }
    }
    // A directory that is missing cannot be watched: every ask counts as a change, so that the
    // callers try again, as they did before anything was cached.
    for (int area = 0; area < AREAS; ++area) {
        if (watch.wd[area] < 0)
            ++watch.generation[area];
    }
}

// The names in an area's directory, by kind.
struct Listing {
    std::mutex mutex;
    bool valid = false;
    unsigned long generation = 0;
    std::set<std::string> files;
    std::set<std::string> sockets;
};

// Caller holds the listing's mutex.
void List(Listing& listing, const std::string& dir) {
    listing.files.clear();
    listing.sockets.clear();
    DIR* stream = opendir(dir.c_str());
    if (!stream)
        return;
    while (struct dirent* entry = readdir(stream)) {
        unsigned char type = entry->d_type;
        struct stat st;
        if (type == DT_UNKNOWN &&
            fstatat(dirfd(stream), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            type = S_ISREG(st.st_mode) ? DT_REG : S_ISSOCK(st.st_mode) ? DT_SOCK : DT_UNKNOWN;
        if (type == DT_REG)
            listing.files.insert(entry->d_name);
        else if (type == DT_SOCK)
            listing.sockets.insert(entry->d_name);
    }
    closedir(stream);
}

}  // namespace

bool Listed(Area area, const std::string& name, bool socket) {
    static Listing* listings = new Listing[AREAS];
    Listing& listing = listings[Index(area)];
    // Taken before the listing: a change during it makes the next ask list again.
    unsigned long generation = Generation(area);
    std::lock_guard<std::mutex> lock(listing.mutex);
    if (!listing.valid || listing.generation != generation) {
        List(listing, RootPath(AREA_DIRS[Index(area)]));
        listing.valid = true;
        listing.generation = generation;
    }
    return (socket ? listing.sockets : listing.files).count(name) > 0;
}

unsigned long Generation(Area area) {
    Watch& watch = State();
    std::lock_guard<std::mutex> lock(watch.mutex);
    if (!(t_scopes > 0 && t_asked)) {
        CatchUp(watch);
        t_asked = t_scopes > 0;
    }
    return watch.generation[Index(area)];
}

void Changed(Area area) {
    Watch& watch = State();
    std::lock_guard<std::mutex> lock(watch.mutex);
    ++watch.generation[Index(area)];
    NewStretch();
}

unsigned long UnchangedStretch() {
    return t_stretch;
}

ChangeScope::ChangeScope() {
    ++t_scopes;
    t_asked = false;
    NewStretch();
}

ChangeScope::~ChangeScope() {
    --t_scopes;
    // The scope around this one asked before this one began: it asks again.
    t_asked = false;
    NewStretch();
}

}  // namespace tvhost
