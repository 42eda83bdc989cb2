// AppDetail figures on a scratch television: the cost of GetDescription, and how fast the main
// loop still dispatches settings changes while the app detail worker waits on a slow server.
//
// A writer process writes one key WRITES times, SPACING_US apart, stamping CLOCK_MONOTONIC just
// before each write; the main loop of this process stamps when its watcher has the value. The
// writes run once with no transfer and once while a transfer to a server that answers after
// SERVER_DELAY_MS is in flight; the second run must keep the settings store's own latency.
#include <glib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "AppDetail.h"
#include "BenchUtil.h"
#include "Constants.h"
#include "HostCore.h"
#include "vconf.h"

namespace {

constexpr int PHASES = 2;  // 0: idle, 1: during a transfer
constexpr int WRITES = 1000;
constexpr long SPACING_US = 1500;
constexpr int SERVER_DELAY_MS = 2000;
constexpr int LOOKUPS = 1000000;
constexpr const char* KEY = "memory/bench/priority_biu_status";
constexpr const char* END_VALUE = "end";
constexpr const char* HOME_ID = "com.talvoro.tv.zefo.homeversion";
constexpr const char* DETAIL =
    "{\"rsp\":{\"stat\":\"ok\",\"app\":{\"version\":\"%s\",\"description\":\"The new Home brings a "
    "faster launcher, a cleaner settings page and fixes for the programme guide.\"}}}";

struct Shared {
    long long sentNs[PHASES][WRITES];
    long long receivedNs[PHASES][WRITES];
};

std::string Detail(const std::string& version) {
    char text[512];
    snprintf(text, sizeof text, DETAIL, version.c_str());
    return text;
}

// One process that writes the key for each phase when the parent sends a byte.
void RunWriter(Shared* shared, int goFd) {
    for (int phase = 0; phase < PHASES; ++phase) {
        char go;
        if (read(goFd, &go, 1) != 1)
            _exit(2);
        struct timespec next;
        clock_gettime(CLOCK_MONOTONIC, &next);
        for (int i = 0; i < WRITES; ++i) {
            SleepUntilNextSlot(&next, SPACING_US);
            std::string value = "priority0_installprogress#" + std::to_string(i);
            shared->sentNs[phase][i] = NowNs();
            vconf_set_str(KEY, value.c_str());
        }
        usleep(20000);
        vconf_set_str(KEY, END_VALUE);
    }
    _exit(0);
}

struct Watch {
    Shared* shared;
    int phase;
    GMainLoop* loop;
    bool guardFired;
};

void OnChanged(keynode_t* node, void* data) {
    long long now = NowNs();
    auto* watch = static_cast<Watch*>(data);
    const char* value = vconf_keynode_get_str(node);
    if (!value)
        return;
    if (strcmp(value, END_VALUE) == 0) {
        g_main_loop_quit(watch->loop);
        return;
    }
    const char* hash = strchr(value, '#');
    int index = hash ? atoi(hash + 1) : -1;
    if (index >= 0 && index < WRITES)
        watch->shared->receivedNs[watch->phase][index] = now;
}

// A store server that answers each request SERVER_DELAY_MS after it arrived.
class SlowServer {
  public:
    SlowServer() {
        m_fd = ListenOnLoopback("AppDetailBench", &m_port);
        m_thread = std::thread([this] { m_ServeOne(); });
    }
    ~SlowServer() {
        shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        close(m_fd);
    }
    int Port() const { return m_port; }
    std::atomic<long long> requestNs{0};
    std::atomic<long long> answerNs{0};
    std::string body;

  private:
    void m_ServeOne() {
        int client = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            return;
        ReadRequestHead(client);
        requestNs = NowNs();
        std::this_thread::sleep_for(std::chrono::milliseconds(SERVER_DELAY_MS));
        std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                            "\r\nConnection: close\r\n\r\n" + body;
        answerNs = NowNs();
        send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
        close(client);
    }

    int m_fd = -1;
    int m_port = 0;
    std::thread m_thread;
};

struct Latency {
    double medianUs = 0;
    double p99Us = 0;
    int seen = 0;
    long long lastSentNs = 0;
};

Latency Measure(const Shared* shared, int phase) {
    std::vector<long long> latencies;
    Latency figures;
    for (int i = 0; i < WRITES; ++i) {
        figures.lastSentNs = std::max(figures.lastSentNs, shared->sentNs[phase][i]);
        if (shared->receivedNs[phase][i] > 0)
            latencies.push_back(shared->receivedNs[phase][i] - shared->sentNs[phase][i]);
    }
    figures.seen = static_cast<int>(latencies.size());
    figures.medianUs = PercentileUs(latencies, 0.5);
    figures.p99Us = PercentileUs(latencies, 0.99);
    return figures;
}

gboolean QuitLoop(gpointer data) {
    auto* watch = static_cast<Watch*>(data);
    watch->guardFired = true;
    g_main_loop_quit(watch->loop);
    return G_SOURCE_REMOVE;
}

void RunPhase(Watch* watch, int goFd) {
    if (write(goFd, "g", 1) != 1)
        exit(2);
    // A lost end marker must not hang the bench.
    watch->guardFired = false;
    guint guard = g_timeout_add_seconds(10, QuitLoop, watch);
    g_main_loop_run(watch->loop);
    if (!watch->guardFired)
        g_source_remove(guard);
}

double LookupNs(AppDetail* detail, const std::string& version) {
    size_t found = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < LOOKUPS; ++i)
        found += detail->GetDescription(version).size();
    auto elapsed = std::chrono::steady_clock::now() - start;
    if (found == 1)
        printf(" ");  // keeps the calls from being optimised away
    return std::chrono::duration<double, std::nano>(elapsed).count() / LOOKUPS;
}

}  // namespace

int main() {
    char pattern[] = "/tmp/appdetailbench-XXXXXX";
    if (!mkdtemp(pattern))
        return 2;
    setenv("TV_LOG_STDERR", "0", 1);
    if (!ProvisionScratchRoot("AppDetailBench", pattern))
        return 2;
    auto* shared = MapShared<Shared>();
    if (!shared)
        return 2;

    // The writer is forked before any thread exists, so it inherits no lock held by one.
    int go[2];
    if (pipe(go) != 0)
        return 2;
    pid_t writer = fork();
    if (writer == 0) {
        close(go[1]);
        RunWriter(shared, go[0]);
    }
    close(go[0]);

    tvhost::WriteFileAtomic(tvhost::RootPath("fs") + TRUSTED_DIR + "appDetail", Detail("1.0.0"));
    AppDetail* detail = Singleton<AppDetail>::GetInstance();
    double hitNs = LookupNs(detail, "1.0.0");
    double missNs = LookupNs(detail, "9.9.9");

    Watch watch{shared, 0, g_main_loop_new(nullptr, FALSE), false};
    vconf_notify_key_changed(KEY, OnChanged, &watch);
    RunPhase(&watch, go[1]);

    SlowServer server;
    server.body = Detail("2.0.0");
    tvhost::WriteFileAtomic(tvhost::RootPath("config/server_url"),
                            "http://127.0.0.1:" + std::to_string(server.Port()));
    long long updateStart = NowNs();
    detail->Update(HOME_ID, "2.0.0");
    long long updateNs = NowNs() - updateStart;
    while (server.requestNs == 0 && NowNs() - updateStart < 5000000000LL)
        usleep(1000);
    watch.phase = 1;
    RunPhase(&watch, go[1]);
    // The detail arrives on the worker; keep the loop turning as the service would.
    GMainContext* context = g_main_context_default();
    while (detail->GetDescription("2.0.0").empty() && NowNs() - updateStart < 10000000000LL) {
        g_main_context_iteration(context, FALSE);
        usleep(1000);
    }
    long long fetchNs = NowNs() - updateStart;
    bool fetched = !detail->GetDescription("2.0.0").empty();
    vconf_ignore_key_changed(KEY, OnChanged);
    Singleton<AppDetail>::DestoryInstance();
    close(go[1]);
    int status = 0;
    waitpid(writer, &status, 0);
    g_main_loop_unref(watch.loop);
    std::filesystem::remove_all(pattern);

    Latency idle = Measure(shared, 0);
    Latency busy = Measure(shared, 1);
    bool insideTransfer = server.requestNs > 0 && busy.lastSentNs < server.answerNs.load();
    printf(
        "GetDescription: %.1f ns per call (cached version), %.1f ns (other version), %d calls "
        "each\n",
        hitNs, missNs, LOOKUPS);
    printf(
        "Update returned in %.1f us; the fetch from a server answering after %d ms took %.0f ms\n",
        static_cast<double>(updateNs) / 1000.0, SERVER_DELAY_MS,
        static_cast<double>(fetchNs) / 1e6);
    printf("the request reached the server %.1f ms after Update\n",
           static_cast<double>(server.requestNs - updateStart) / 1e6);
    printf("%d writes of %s, %ld us apart, writer in another process\n", WRITES, KEY, SPACING_US);
    printf("no transfer     : median %7.1f us  p99 %7.1f us  (%d of %d writes seen)\n",
           idle.medianUs, idle.p99Us, idle.seen, WRITES);
    printf("during transfer : median %7.1f us  p99 %7.1f us  (%d of %d writes seen)\n",
           busy.medianUs, busy.p99Us, busy.seen, WRITES);
    bool pass = Check("writer exited cleanly", WIFEXITED(status) && WEXITSTATUS(status) == 0);
    pass = Check("all writes while the transfer was in flight", insideTransfer) && pass;
    pass = Check("detail fetched after the server's delay",
                 fetched && fetchNs >= SERVER_DELAY_MS * 1000000LL) &&
           pass;
    // The foundation's figures (median 250 us, p99 1500 us) hold on a quiet machine; on a busy
    // one the idle run of this same process is the yardstick.
    double medianLimit = std::max(250.0, 1.5 * idle.medianUs);
    double p99Limit = std::max(1500.0, 1.5 * idle.p99Us);
    printf("limits: median %.1f us, p99 %.1f us\n", medianLimit, p99Limit);
    pass = Check("during transfer: median within limit",
                 busy.seen > 0 && busy.medianUs <= medianLimit) &&
           pass;
    pass =
        Check("during transfer: p99 within limit", busy.seen > 0 && busy.p99Us <= p99Limit) && pass;
    pass = Check("GetDescription <= 1 us", hitNs <= 1000 && missNs <= 1000) && pass;
    return pass ? 0 : 1;
}
