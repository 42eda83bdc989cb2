/* The floor of HopBench: the least a program can do to show what a correct service shows for one
 * event, every read, log line, journal line and key write that the service's behaviour calls for
 * on that path, with nothing of the service's own in between. It keeps its log and journals open,
 * waits in a blocking call, writes each line with one write and each key whole through a new file
 * renamed into place. The work of each path is listed step by step beside OnStatus and OnRequest.
 *
 *   hop_floor ROOT status    a status written into kdb/memory/pax/priority_biu_status
 *   hop_floor ROOT request   a "CheckUpdateValidation" launch request on the service's socket
 *
 * It prints "ready" once it waits for its first event. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

static int g_log = -1;
static int g_launches = -1;
static int g_store = -1;
static int g_pid;

static int OpenAppend(const char* root, const char* name) {
    char path[4096];
    snprintf(path, sizeof path, "%s/log/%s", root, name);
    return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

static void Log(char priority, const char* where, const char* text, const char* value) {
    struct timeval tv;
    gettimeofday(&tv, NULL);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char line[1024];
    size_t n = strftime(line, sizeof line, "%Y-%m-%d %H:%M:%S", &tm);
    n += (size_t)snprintf(line + n, sizeof line - n, ".%03ld %c/BRENWICK(%d): %s > %s%s\n",
                          (long)(tv.tv_usec / 1000), priority, g_pid, where, text, value);
    if (write(g_log, line, n) < 0)
        exit(1);
}

static long long NowMs(void) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

static void Append(int fd, const char* json) {
    char line[1024];
    int n = snprintf(line, sizeof line, "{\"ts\":%lld,%s}\n", NowMs(), json);
    if (write(fd, line, (size_t)n) < 0)
        exit(1);
}

/* The whole small file after its "s:" or as it is; "" when it cannot be read. */
static void ReadSmall(const char* root, const char* relative, int skip, char* out, size_t size) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", root, relative);
    out[0] = '\0';
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ssize_t n = read(fd, out, size - 1);
    close(fd);
    if (n < skip)
        return;
    out[n] = '\0';
    memmove(out, out + skip, (size_t)(n - skip + 1));
}

/* Whether ROOT/apps/APPID is there: a launch to an application that is not installed fails. */
static int Installed(const char* root, const char* appId) {
    char path[4096];
    snprintf(path, sizeof path, "%s/apps/%s", root, appId);
    return access(path, F_OK) == 0;
}

/* Writes "s:VALUE" into kdb/KEY whole: a new file beside it, renamed into place, which is what
 * a watcher in another process sees as the change. */
static void WriteKey(const char* root, const char* key, const char* value) {
    char path[4096];
    char temporary[4200];
    snprintf(path, sizeof path, "%s/kdb/%s", root, key);
    snprintf(temporary, sizeof temporary, "%s.%d.new", path, g_pid);
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        exit(1);
    char content[4200];
    int length = snprintf(content, sizeof content, "s:%s", value);
    int ok = write(fd, content, (size_t)length) == length;
    if (close(fd) != 0 || !ok || rename(temporary, path) != 0)
        exit(1);
}

/* A store status, "priority0_installprogress" outside a requested update, on a set where the home
 * update view is not in full screen and the test mode is off:
 *  1. read the status key's new value;
 *  2. log "changedValue : VALUE" and "keyName : memory/pax/priority_biu_status" (info);
 *  3. the value's status (the first of the store's words it holds) goes to the update manager,
 *     which logs the value (info); the test mode, being off, shows nothing;
 *  4. read the home status "memory/home/priority_update_status": not "start", so the loading
 *     screen is launched;
 *  5. read the full-screen application "memory/appfw/current_fullscreen_appid": not the view;
 *  6. log "app_control_add_extra_data: LaunchReason, LoadingUI" (debug), find the view
 *     installed and journal the launch with its extra data and the caller;
 *  7. a status from 1 to 12 is cached for other applications: log "Set cache VALUE" (error) and
 *     write the value whole into "db/home/update_state".
 * Another value takes steps 1 to 3 alone (the bench sends none). */
static void OnStatus(const char* root) {
    char value[4096];
    char home[256];
    char fullscreen[256];
    ReadSmall(root, "kdb/memory/pax/priority_biu_status", 2, value, sizeof value);
    Log('I', "UpdateStatusMonitor.cpp: m_OnVconfCallback(153)", "changedValue : ", value);
    Log('I', "UpdateStatusMonitor.cpp: m_OnVconfCallback(155)",
        "keyName : ", "memory/pax/priority_biu_status");
    Log('I', "UpdateManager.cpp: m_OnHomeUpdateStatusChanged(145)", "", value);
    if (strcmp(value, "priority0_installprogress") != 0)
        return;
    ReadSmall(root, "kdb/memory/home/priority_update_status", 2, home, sizeof home);
    if (strcmp(home, "start") == 0)
        return;
    ReadSmall(root, "kdb/memory/appfw/current_fullscreen_appid", 2, fullscreen, sizeof fullscreen);
    if (strcmp(fullscreen, "com.talvoro.tv.homeupdateview") == 0)
        return;
    Log('D', "AppControlUtil.cpp: SendAppControl(85)",
        "app_control_add_extra_data: ", "LaunchReason, LoadingUI");
    int installed = Installed(root, "com.talvoro.tv.homeupdateview");
    Append(g_launches, installed
                           ? "\"caller\":\"com.talvoro.tv.brenwick\",\"app_id\":\"com.talvoro.tv."
                             "homeupdateview\",\"operation\":\"talvoro.appcontrol.operation."
                             "DEFAULT\",\"extra\":[[\"LaunchReason\",\"LoadingUI\"],[\"Caller\","
                             "\"com.talvoro.tv.brenwick\"]],\"result\":0"
                           : "\"result\":-1");
    Log('E', "UpdateStatusMonitor.cpp: m_PriorityBIUStatusCallback(205)", "Set cache ", value);
    WriteKey(root, "db/home/update_state", value);
}

static int WatchStatus(const char* root) {
    char dir[4096];
    snprintf(dir, sizeof dir, "%s/kdb/memory/pax", root);
    int fd = inotify_init1(IN_CLOEXEC);
    if (fd < 0 || inotify_add_watch(fd, dir, IN_MOVED_TO) < 0)
        return 1;
    puts("ready");
    fflush(stdout);
    char buffer[65536] __attribute__((aligned(__alignof__(struct inotify_event))));
    for (;;) {
        ssize_t length = read(fd, buffer, sizeof buffer);
        if (length <= 0)
            return 1;
        for (ssize_t at = 0; at < length;) {
            const struct inotify_event* event = (const struct inotify_event*)(buffer + at);
            at += (ssize_t)(sizeof *event + event->len);
            if (event->len && strcmp(event->name, "priority_biu_status") == 0)
                OnStatus(root);
        }
    }
}

/* The text of "KEY":"VALUE" in a message, or "". */
static void Field(const char* message, const char* key, char* out, size_t size) {
    out[0] = '\0';
    const char* at = strstr(message, key);
    if (!at || !(at = strchr(at + strlen(key), '"')))
        return;
    const char* end = strchr(at + 1, '"');
    size_t n = end ? (size_t)(end - at - 1) : 0;
    if (n >= size)
        n = size - 1;
    memcpy(out, at + 1, n);
    out[n] = '\0';
}

/* A "CheckUpdateValidation" launch request, while the home status is not "start" and the store's
 * sync status is 1:
 *  1. take the request in: accept the connection and read the message;
 *  2. log "AppControlReceived => ...", "Caller App => CALLER" and
 *     "Extra Data [LaunchReason] => CheckUpdateValidation" (info);
 *  3. read the home status "memory/home/priority_update_status": not "start";
 *  4. ask the store for its sync status: read it and journal the store call;
 *  5. the sync status is 0 or 1, so the update is refused with "sync status is init or start"
 *     (a reason that is not logged);
 *  6. the toast: log "app_control_add_extra_data: KEY, VALUE" (debug) for "app_name", "text" and
 *     "type", find the system popup installed and journal the launch with its extra data and the
 *     caller.
 * Another reason takes steps 1 and 2 alone; another home or sync status ends after step 4. */
static void OnRequest(const char* root, const char* message) {
    char caller[256];
    char reason[256];
    char sync[64];
    char home[256];
    Field(message, "\"caller\":", caller, sizeof caller);
    Field(message, "[\"LaunchReason\",", reason, sizeof reason);
    Log('I', "BrenwickMain.cpp: OnAppControlReceived(76)", "AppControlReceived => ",
        "0x55f674fb61b0");
    Log('I', "AppControlUtil.cpp: GetCallerApp(40)", "Caller App => ", caller);
    Log('I', "AppControlUtil.cpp: GetExtraData(55)", "Extra Data [LaunchReason] => ", reason);
    if (strcmp(reason, "CheckUpdateValidation") != 0)
        return;
    ReadSmall(root, "kdb/memory/home/priority_update_status", 2, home, sizeof home);
    ReadSmall(root, "store/sync_status", 0, sync, sizeof sync);
    Append(g_store, "\"call\":\"pax_get_apps_sync_status\",\"result\":0");
    if (atoi(sync) > 1 || strcmp(home, "start") == 0)
        return;
    Log('D', "AppControlUtil.cpp: SendAppControl(85)",
        "app_control_add_extra_data: ", "app_name, com.talvoro.tv.brenwick");
    Log('D', "AppControlUtil.cpp: SendAppControl(85)",
        "app_control_add_extra_data: ", "text, sync status is init or start");
    Log('D', "AppControlUtil.cpp: SendAppControl(85)",
        "app_control_add_extra_data: ", "type, toast");
    int installed = Installed(root, "com.talvoro.tv.syspopup");
    Append(g_launches, installed
                           ? "\"caller\":\"com.talvoro.tv.brenwick\",\"app_id\":\"com.talvoro.tv."
                             "syspopup\",\"operation\":\"talvoro.appcontrol.operation.DEFAULT\","
                             "\"extra\":[[\"app_name\",\"com.talvoro.tv.brenwick\"],[\"text\","
                             "\"sync status is init or start\"],[\"type\",\"toast\"],[\"Caller\","
                             "\"com.talvoro.tv.brenwick\"]],\"result\":0"
                           : "\"result\":-1");
}

static int ServeRequests(const char* root) {
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    int length = snprintf(address.sun_path, sizeof address.sun_path,
                          "%s/run/com.talvoro.tv.brenwick.sock", root);
    if (length < 0 || (size_t)length >= sizeof address.sun_path)
        return 1;
    unlink(address.sun_path);
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || bind(listener, (struct sockaddr*)&address, sizeof address) != 0 ||
        listen(listener, 64) != 0)
        return 1;
    puts("ready");
    fflush(stdout);
    char message[65536];
    for (;;) {
        int peer = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
        if (peer < 0)
            return 1;
        size_t size = 0;
        ssize_t n;
        while (size < sizeof message - 1 &&
               (n = read(peer, message + size, sizeof message - 1 - size)) > 0)
            size += (size_t)n;
        close(peer);
        message[size] = '\0';
        OnRequest(root, message);
    }
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: hop_floor ROOT status|request\n");
        return 2;
    }
    g_pid = (int)getpid();
    g_log = OpenAppend(argv[1], "dlog.log");
    g_launches = OpenAppend(argv[1], "launch.jsonl");
    g_store = OpenAppend(argv[1], "store.jsonl");
    if (g_log < 0 || g_launches < 0 || g_store < 0)
        return 1;
    if (strcmp(argv[2], "status") == 0)
        return WatchStatus(argv[1]);
    if (strcmp(argv[2], "request") == 0)
        return ServeRequests(argv[1]);
    fprintf(stderr, "hop_floor: unknown mode '%s'\n", argv[2]);
    return 2;
}
