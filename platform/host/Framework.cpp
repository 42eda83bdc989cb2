// The service application framework: one GLib main loop per application process, and the
// run/APPID.sock through which other processes reach it.
//
// An application is "running" while its pid file names a live process and its socket accepts
// connections. Start-up holds an flock on run/APPID.lock for the whole life of the process, so
// two instances starting at once cannot both pass the check.
#include <fcntl.h>
#include <glib.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "AppControlInternal.h"
#include "FdSource.h"
#include "HostCore.h"
#include "dlog.h"
#include "service_app.h"

namespace {

constexpr const char* DEFAULT_APP_ID = "com.talvoro.tv.brenwick";
// A message is a small JSON object; anything larger is a misbehaving peer.
constexpr size_t MAX_MESSAGE_BYTES = 1 << 20;

std::mutex g_handlersMutex;
std::map<std::string, tvhost::MessageHandler>& Handlers() {
    static auto* handlers = new std::map<std::string, tvhost::MessageHandler>();
    return *handlers;
}

// A message is one JSON object of ours, written by JsonLine: the reader takes nothing else (no
// comments, nothing around it, no deep nesting) and is made once for each thread that handles
// messages, as a builder fills a whole table of settings before it makes one. A key given twice,
// which JsonLine never writes, is not looked for: the last one is taken.
bool ReadMessage(const std::string& text, Json::Value* message) {
    thread_local std::unique_ptr<Json::CharReader> reader([] {
        Json::CharReaderBuilder builder;
        Json::CharReaderBuilder::strictMode(&builder.settings_);
        builder["collectComments"] = false;
        builder["stackLimit"] = 64;
        builder["rejectDupKeys"] = false;
        return builder.newCharReader();
    }());
    try {
        return reader->parse(text.data(), text.data() + text.size(), message, nullptr) &&
               message->isObject();
    } catch (const Json::Exception&) {
        return false;  // nested deeper than the limit
    }
}

struct Serving {
    std::string appId;
    int lockFd = -1;
    int listenFd = -1;
    guint listenSource = 0;
};
Serving g_serving;

struct Connection {
    int fd;
    std::string data;
    bool dispatching = false;
    bool waits = false;  // on a source of its own, for the rest of its message
};

// Connections that wait on a source of their own. While one does, a newer connection waits too,
// behind it in the loop's order of sources: messages sent one after the other are handled in
// that order, however slowly the first was written.
int g_waitingConnections = 0;

std::string RunPath(const std::string& appId, const char* suffix) {
    return tvhost::RootPath("run/" + appId + suffix);
}

// The address of a socket file. A path longer than sun_path is reached through a descriptor
// of its directory ("/proc/self/fd/N/NAME"), so a device root of any length works; only the
// file's own name must fit.
class SocketAddress {
  public:
    explicit SocketAddress(const std::string& path) {
        memset(&m_address, 0, sizeof m_address);
        m_address.sun_family = AF_UNIX;
        std::string reachable = path;
        if (path.size() >= sizeof m_address.sun_path) {
            size_t slash = path.rfind('/');
            std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
            m_dirFd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (m_dirFd < 0) {
                m_error = "cannot open " + dir + ": " + strerror(errno);
                return;
            }
            reachable = "/proc/self/fd/" + std::to_string(m_dirFd) + "/" + path.substr(slash + 1);
        }
        if (reachable.size() >= sizeof m_address.sun_path) {
            m_error = "socket file name " + path.substr(path.rfind('/') + 1) +
                      " is too long: a socket address holds " +
                      std::to_string(sizeof m_address.sun_path - 1) + " bytes";
            return;
        }
        memcpy(m_address.sun_path, reachable.c_str(), reachable.size() + 1);
        m_ok = true;
    }
    ~SocketAddress() {
        if (m_dirFd >= 0)
            close(m_dirFd);
    }
    SocketAddress(const SocketAddress&) = delete;
    SocketAddress& operator=(const SocketAddress&) = delete;

    bool Ok() const { return m_ok; }
    const std::string& Error() const { return m_error; }
    const struct sockaddr* Get() const {
        return reinterpret_cast<const struct sockaddr*>(&m_address);
    }
    socklen_t Size() const { return sizeof m_address; }

  private:
    struct sockaddr_un m_address;
    int m_dirFd = -1;
    bool m_ok = false;
    std::string m_error;
};

// A connected socket to the application, or -1.
int ConnectTo(const std::string& appId) {
    SocketAddress address(RunPath(appId, ".sock"));
    if (!address.Ok())
        return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, address.Get(), address.Size()) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

pid_t ReadPid(const std::string& appId) {
    std::string text;
    if (!tvhost::ReadWholeFile(RunPath(appId, ".pid"), &text))
        return 0;
    long pid = strtol(text.c_str(), nullptr, 10);
    return pid > 0 ? static_cast<pid_t>(pid) : 0;
}

// Reads what is there; the sender closes the connection when its message is complete. The
// source may recur (AddFdSource): should a handler run a loop of its own, the connection it is
// handling ends there, and the descriptor and the data are released by the outer call.
gboolean OnConnectionReadable(gint fd, GIOCondition, gpointer data) {
    auto* connection = static_cast<Connection*>(data);
    if (connection->dispatching)
        return G_SOURCE_REMOVE;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return G_SOURCE_CONTINUE;
        if (n > 0 && connection->data.size() + static_cast<size_t>(n) <= MAX_MESSAGE_BYTES) {
            connection->data.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) {
            connection->dispatching = true;
            tvhost::ChangeScope scope;
            tvhost::DispatchMessage(connection->data);
        }
        close(fd);
        g_waitingConnections -= connection->waits;
        delete connection;
        return G_SOURCE_REMOVE;
    }
}

// How long the loop waits, at most, for the rest of a message as its connection is taken in. A
// sender connects with its message made and writes it whole at once, so the loop, woken by the
// connection, mostly has it within microseconds; a sender held up longer than this waits on a
// source of its own while the loop goes on.
constexpr long MESSAGE_WAIT_NS = 1000000;

// Reads the connection's message and hands it on, waiting for the rest of it MESSAGE_WAIT_NS at
// most; true when the connection is done with (and gone), false when it is still to be read.
bool HandledAtOnce(Connection* connection) {
    int fd = connection->fd;
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += MESSAGE_WAIT_NS;
    deadline.tv_sec += deadline.tv_nsec / 1000000000;
    deadline.tv_nsec %= 1000000000;
    while (OnConnectionReadable(fd, G_IO_IN, connection) == G_SOURCE_CONTINUE) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long left = (deadline.tv_sec - now.tv_sec) * 1000000000 + deadline.tv_nsec - now.tv_nsec;
        struct timespec wait = {0, left};
        struct pollfd more = {fd, POLLIN, 0};
        if (left <= 0 || ppoll(&more, 1, &wait, nullptr) != 1)
            return false;
    }
    return true;
}

// One connection at a time: the loop comes back while more wait, and no accept is made only to
// learn that none does. The message is read and handled at once, as it mostly is there, or comes
// at once, as the loop wakes for the connection: only a connection whose sender is held up, or
// that comes after one, gets a source of its own to wait on.
gboolean OnListenReadable(gint fd, GIOCondition, gpointer) {
    int peer = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (peer < 0)
        return G_SOURCE_CONTINUE;
    auto* connection = new Connection{peer, std::string()};
    if (g_waitingConnections == 0 && HandledAtOnce(connection))
        return G_SOURCE_CONTINUE;
    connection->waits = true;
    ++g_waitingConnections;
    tvhost::AddFdSource(peer, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                        OnConnectionReadable, connection);
    return G_SOURCE_CONTINUE;
}

// A listening socket at `path`, or -1 with *error set.
int ListenOn(const std::string& path, std::string* error) {
    SocketAddress address(path);
    if (!address.Ok()) {
        *error = address.Error();
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("no socket: ") + strerror(errno);
        return -1;
    }
    unlink(path.c_str());
    if (bind(fd, address.Get(), address.Size()) != 0 || listen(fd, 64) != 0) {
        *error = "cannot listen on " + path + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

void ReleaseLock() {
    if (g_serving.lockFd >= 0)
        close(g_serving.lockFd);
    g_serving.lockFd = -1;
}

// ---- the main loop of service_app_main ----------------------------------------------------

GMainLoop* g_loop = nullptr;
// A quit asked for before g_main_loop_run (e.g. from the create callback) must not be lost.
std::atomic<bool> g_quitRequested{false};

void QuitLoop() {
    g_quitRequested = true;
    if (g_loop)
        g_main_loop_quit(g_loop);
}

// SIGTERM and SIGINT, taken in on the main loop from a signalfd: GLib's own signal sources start
// a thread to watch for signals, which would stay for the whole life of the application.
class TerminateSignals {
  public:
    // Before any other thread starts, so that every thread has them blocked and none is
    // ended by them.
    TerminateSignals() {
        sigemptyset(&m_signals);
        sigaddset(&m_signals, SIGTERM);
        sigaddset(&m_signals, SIGINT);
        pthread_sigmask(SIG_BLOCK, &m_signals, &m_before);
        m_fd = signalfd(-1, &m_signals, SFD_NONBLOCK | SFD_CLOEXEC);
        if (m_fd >= 0)
            m_source = tvhost::AddFdSource(m_fd, G_IO_IN, OnReadable, nullptr);
    }
    // A request to end that came while the application was ending is taken here, so that
    // unblocking the signals does not end the process by their default action.
    ~TerminateSignals() {
        if (m_source)
            g_source_remove(m_source);
        if (m_fd >= 0) {
            struct signalfd_siginfo info;
            while (read(m_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            }
            close(m_fd);
        }
        pthread_sigmask(SIG_SETMASK, &m_before, nullptr);
    }
    TerminateSignals(const TerminateSignals&) = delete;
    TerminateSignals& operator=(const TerminateSignals&) = delete;

  private:
    static gboolean OnReadable(gint fd, GIOCondition, gpointer) {
        struct signalfd_siginfo info;
        while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            QuitLoop();
        return G_SOURCE_CONTINUE;
    }

    sigset_t m_signals;
    sigset_t m_before;
    int m_fd = -1;
    guint m_source = 0;
};

void OnLaunchMessage(service_app_control_cb callback, void* userData, const Json::Value& message) {
    app_control_h handle = tvhost::AppControlFromMessage(message);
    if (!handle)
        return;
    callback(handle, userData);
    app_control_destroy(handle);
}

// How many arenas the allocator has: a thread that allocates while the others' are busy gets one
// of its own, which it keeps.
size_t CountArenas() {
    char* text = nullptr;
    size_t size = 0;
    FILE* report = open_memstream(&text, &size);
    if (!report)
        return 0;
    malloc_info(0, report);
    fclose(report);
    size_t arenas = 0;
    for (const char* at = text; (at = strstr(at, "<heap nr=")) != nullptr; ++at)
        ++arenas;
    free(text);
    return arenas;
}

size_t BytesInUse() {
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// What the libraries and the platform had allocated when the application's own code began.
size_t g_inUseAtCreate = 0;

bool g_httpPrepared = false;
long long g_inUseByHttp = 0;  // what the allocator handed out to the HTTP library's set-up

gboolean PrepareHttpWhenIdle(gpointer) {
    size_t before = BytesInUse();
    tvhost::PrepareHttp();
    g_httpPrepared = true;
    g_inUseByHttp = static_cast<long long>(BytesInUse()) - static_cast<long long>(before);
    tvhost::HostLog(
        DLOG_INFO, "TVHOST",
        "set up the HTTP library: " + std::to_string(g_inUseByHttp) + " bytes in use by it");
    return G_SOURCE_REMOVE;
}

// What the allocator holds, for whoever measures a running application (ServiceBench): one line
// in the platform log.
void OnMemoryMessage(const Json::Value&) {
    struct mallinfo2 info = mallinfo2();
    tvhost::HostLog(DLOG_INFO, "TVHOST",
                    "memory: " + std::to_string(BytesInUse()) + " bytes in use by the allocator, " +
                        std::to_string(info.arena + info.hblkhd) + " held, in " +
                        std::to_string(CountArenas()) + " arenas; " +
                        std::to_string(g_inUseAtCreate) + " in use as the create callback began; " +
                        std::to_string(g_inUseByHttp) + " by the HTTP library's set-up");
}

std::string AppIdOfProcess() {
    const char* appId = getenv("TV_APP_ID");
    return appId && *appId ? appId : DEFAULT_APP_ID;
}

}  // namespace

namespace tvhost {

void DispatchMessage(const std::string& text) {
    if (text.empty())
        return;  // a peer that only checked that we are there
    Json::Value message;
    if (!ReadMessage(text, &message) || !std::as_const(message)["kind"].isString()) {
        HostLog(DLOG_WARN, "TVHOST",
                "ignoring a malformed message on run/" + g_serving.appId + ".sock");
        return;
    }
    MessageHandler handler;
    {
        std::lock_guard<std::mutex> lock(g_handlersMutex);
        auto found = Handlers().find(std::as_const(message)["kind"].asString());
        if (found != Handlers().end())
            handler = found->second;
    }
    if (handler)
        handler(message);
}

void SetMessageHandler(const std::string& kind, MessageHandler handler) {
    std::lock_guard<std::mutex> lock(g_handlersMutex);
    if (handler) {
        Handlers()[kind] = std::move(handler);
    } else {
        Handlers().erase(kind);
    }
}

bool AppListening(const std::string& appId) {
    return Listed(Area::RUN, appId + ".sock", true);
}

int SendToApp(const std::string& appId, const Json::Value& message) {
    // Most applications a launch names are not running: that is told by the listing of run/,
    // not by a socket made only to be refused.
    if (!AppListening(appId))
        return -1;
    // Made before connecting: the receiver, woken by the connection, finds the message whole.
    std::string text = JsonLine(message);
    int fd = ConnectTo(appId);
    if (fd < 0)
        return -1;
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = send(fd, data, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(fd);
            return -1;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    close(fd);
    return 0;
}

bool AppRunning(const std::string& appId) {
    if (!ProcessAlive(ReadPid(appId)))
        return false;
    int fd = ConnectTo(appId);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

std::vector<std::string> RunningApps() {
    std::vector<std::string> apps;
    GDir* dir = g_dir_open(RootPath("run").c_str(), 0, nullptr);
    if (!dir)
        return apps;
    while (const char* name = g_dir_read_name(dir)) {
        std::string file = name;
        if (file.size() <= 4 || file.compare(file.size() - 4, 4, ".pid") != 0)
            continue;
        std::string appId = file.substr(0, file.size() - 4);
        if (AppRunning(appId))
            apps.push_back(appId);
    }
    g_dir_close(dir);
    std::sort(apps.begin(), apps.end());
    return apps;
}

int ServeApp(const std::string& appId, std::string* error) {
    std::string ignored;
    std::string& why = error ? *error : ignored;
    if (!PlainName(appId)) {
        why = "bad application id '" + appId + "'";
        return SERVICE_APP_ERR_INVALID_PARAMETER;
    }
    if (g_serving.listenFd >= 0) {
        why = "this process already serves " + g_serving.appId;
        return SERVICE_APP_ERR_ALREADY_RUNNING;
    }
    if (!MakeDirs(RootPath("run"))) {
        why = "cannot create " + RootPath("run") + ": " + strerror(errno);
        return SERVICE_APP_ERR_IO;
    }
    int lockFd = open(RunPath(appId, ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd < 0) {
        why = "cannot open " + RunPath(appId, ".lock") + ": " + strerror(errno);
        return SERVICE_APP_ERR_IO;
    }
    if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        close(lockFd);
        why = appId + " is already running";
        return SERVICE_APP_ERR_ALREADY_RUNNING;
    }
    g_serving.lockFd = lockFd;
    // Holding the lock, a live pid with a live socket can only be an instance that did not
    // take the lock; a dead one leaves stale files that are replaced below.
    if (AppRunning(appId)) {
        ReleaseLock();
        why = appId + " is already running";
        return SERVICE_APP_ERR_ALREADY_RUNNING;
    }
    int listenFd = ListenOn(RunPath(appId, ".sock"), &why);
    if (listenFd >= 0 &&
        !WriteFileAtomic(RunPath(appId, ".pid"), std::to_string(getpid()) + "\n")) {
        why = "cannot write " + RunPath(appId, ".pid");
        close(listenFd);
        listenFd = -1;
    }
    if (listenFd < 0) {
        ReleaseLock();
        return SERVICE_APP_ERR_IO;
    }
    g_serving.appId = appId;
    g_serving.listenFd = listenFd;
    g_serving.listenSource = AddFdSource(listenFd, G_IO_IN, OnListenReadable, nullptr);
    return SERVICE_APP_OK;
}

void StopServing() {
    if (g_serving.listenFd < 0)
        return;
    g_source_remove(g_serving.listenSource);
    close(g_serving.listenFd);
    unlink(RunPath(g_serving.appId, ".sock").c_str());
    if (ReadPid(g_serving.appId) == getpid())
        unlink(RunPath(g_serving.appId, ".pid").c_str());
    ReleaseLock();
    g_serving = Serving();
}

}  // namespace tvhost

extern "C" {

int service_app_main(int argc, char** argv, service_app_lifecycle_callback_s* callback,
                     void* user_data) {
    (void)argc;
    (void)argv;
    int result = 0;
    if (tvhost::FaultHit("service_app_main", &result))
        return result;
    if (!callback || !callback->create || g_loop)
        return SERVICE_APP_ERR_INVALID_PARAMETER;
    std::string appId = AppIdOfProcess();
    tvhost::SetSelfAppId(appId);
    std::string problem = tvhost::DeviceRootProblem();
    if (!problem.empty()) {
        fprintf(stderr, "%s: %s\n", appId.c_str(), problem.c_str());
        return SERVICE_APP_ERR_NO_DEVICE;
    }
    if (!tvhost::DeviceRootExists()) {
        fprintf(stderr, "%s: no provisioned device root at %s (run: tvctl init)\n", appId.c_str(),
                tvhost::DeviceRoot().c_str());
        return SERVICE_APP_ERR_NO_DEVICE;
    }
    // Before the socket exists: whoever sees the application running may signal it at once.
    g_quitRequested = false;
    TerminateSignals signals;
    std::string why;
    int served = tvhost::ServeApp(appId, &why);
    if (served != SERVICE_APP_OK) {
        fprintf(stderr, "%s: %s (device root %s)\n", appId.c_str(), why.c_str(),
                tvhost::DeviceRoot().c_str());
        return served;
    }
    service_app_control_cb onAppControl = callback->app_control;
    if (onAppControl) {
        tvhost::SetMessageHandler("launch", [onAppControl, user_data](const Json::Value& message) {
            OnLaunchMessage(onAppControl, user_data, message);
        });
    }
    tvhost::SetMessageHandler("memory", OnMemoryMessage);
    g_loop = g_main_loop_new(nullptr, FALSE);

    int status = SERVICE_APP_OK;
    g_inUseAtCreate = BytesInUse();
    bool created = false;
    {
        // The start-up is handled as one event: what other processes change meanwhile is seen
        // by the first event after it.
        tvhost::ChangeScope scope;
        created = callback->create(user_data);
    }
    if (created) {
        // The HTTP library's set-up takes most of a millisecond and pages in its TLS library,
        // which the first transfer would otherwise add to the application in the middle of an
        // update. Nobody waits for it: it runs once the requests that came during the start-up
        // are handled, when the loop has nothing else to do.
        g_httpPrepared = false;
        g_inUseByHttp = 0;
        guint preparation = g_idle_add_full(G_PRIORITY_LOW, PrepareHttpWhenIdle, nullptr, nullptr);
        if (!g_quitRequested)
            g_main_loop_run(g_loop);
        if (!g_httpPrepared)
            g_source_remove(preparation);
        // After the loop, not inside a handler: terminate destroys objects whose callbacks
        // may be on the stack when the request to end comes in.
        if (callback->terminate)
            callback->terminate(user_data);
    } else {
        fprintf(stderr, "%s: the create callback failed\n", appId.c_str());
        status = SERVICE_APP_ERR_CANCELED;
    }

    g_main_loop_unref(g_loop);
    g_loop = nullptr;
    tvhost::SetMessageHandler("launch", nullptr);
    tvhost::SetMessageHandler("memory", nullptr);
    tvhost::StopServing();
    return status;
}

void service_app_exit(void) {
    QuitLoop();
}

}  // extern "C"
