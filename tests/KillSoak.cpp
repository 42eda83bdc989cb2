// The kill soak: the real service is killed with SIGKILL at random moments while the store
// service plays updates and the user answers, while requests reach it (the hidden test mode, an
// update request, a decline from the details page, a Home reset), and while it wipes its data
// after a reset, at start or at run time. After every kill each state file is absent or whole,
// and after the next start a wipe that the kill cut short has completed.
//
//   KillSoak [--kills N] [--seed S] [--seconds T]
//       (default 100 kills and 5 s a kill; scripts/soak.sh runs a long soak)
//
// Prints its figures at the end; exits 1 when a state file was torn or empty, a wipe cut short
// did not complete at the next start, or the service did not start again after a kill. A service
// that stops starting, or ends by itself, ends the soak at once; so do 20 rounds in a row
// without a kill, and the time T running out.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "ChildProcess.h"
#include "Console.h"
#include "LocalHttpServer.h"
#include "TestDevice.h"

namespace {

const std::string DATA = "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/data/";
const std::string TRUSTED = "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/shared/trusted/";
constexpr int START_MS = 10000;
constexpr int KILLS_PER_DEVICE = 50;  // a fresh television now and then keeps the journals short
constexpr int ROUNDS_WITHOUT_KILL = 20;

enum Activity { UPDATE, REQUEST, WIPE_AT_START, WIPE_WHILE_RUNNING, ACTIVITIES };

// The requests that reach the service; the platform took the last Home reset's flag at its
// reboot, so a Home reset can be asked for again.
const char* const REQUESTS[] = {
    "launch com.talvoro.tv.brenwick LaunchReason=Hidden_Key",
    "launch com.talvoro.tv.brenwick LaunchReason=CheckUpdateValidation",
    "launch com.talvoro.tv.brenwick LaunchReason=DetailPopup RequestStatus=3",
    "set db/home/reset_status start",
};

// Whether TEXT is COUNT whole lines (any number but none when COUNT is 0): a write cut short
// leaves a line without its end, or fewer lines.
bool WholeLines(const std::string& text, size_t count) {
    auto lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    return !text.empty() && text.back() == '\n' && text.find("\n\n") == std::string::npos &&
           (count == 0 ? lines > 0 : lines == count);
}

struct Figures {
    int kills = 0;
    int byActivity[ACTIVITIES] = {};
    int torn = 0;
    int failedStarts = 0;
    int crashes = 0;
    int wipesCutShort = 0;
    int wipesCutMidway = 0;
    int wipesCompleted = 0;
    int roundsWithoutKill = 0;
};

class Soak {
  public:
    explicit Soak(unsigned seed) : m_random(seed) {
        // Old user data that a reset must wipe, in both directories.
        for (const std::string& dir : {DATA, TRUSTED}) {
            for (int i = 0; i < 200; ++i)
                m_junk.push_back(dir + "old-cache-" + std::to_string(i % 5) + "/junk-" +
                                 std::to_string(i));
        }
    }

    // False once the soak cannot go on: the service no longer starts, or ended by itself.
    bool KillOnce() {
        if (figures.kills % KILLS_PER_DEVICE == 0) {
            m_service.reset();
            m_device.reset();  // before the next one takes over TV_DEVICE_ROOT
            m_device = std::make_unique<TestDevice>();
            m_service = std::make_unique<ServiceProcess>(*m_device);
            m_device->Write("config/server_url", m_releaseNotes.BaseUrl());
        }
        int activity = Pick(0, ACTIVITIES - 1);
        if (activity != WIPE_AT_START && !StartService())
            return false;
        bool killed = activity == UPDATE    ? DuringUpdate()
                      : activity == REQUEST ? DuringRequest()
                                            : DuringWipe(activity == WIPE_AT_START);
        if (figures.failedStarts > 0 || figures.crashes > 0)
            return false;
        if (!killed)
            return ++figures.roundsWithoutKill < ROUNDS_WITHOUT_KILL;  // a Home reset rebooted
        figures.roundsWithoutKill = 0;
        ++figures.kills;
        ++figures.byActivity[activity];
        CheckStateFiles();
        if (figures.kills % 50 == 0) {
            printf("... %d kills, %d torn or empty, %d of %d wipes cut short completed\n",
                   figures.kills, figures.torn, figures.wipesCompleted, figures.wipesCutShort);
            fflush(stdout);
        }
        return true;
    }

    Figures figures;

  private:
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

    void PrintLogTail(const std::string& what) {
        std::string log = m_device->Log();
        printf("%s; the end of its log:\n%s\n", what.c_str(),
               log.substr(log.size() > 2000 ? log.size() - 2000 : 0).c_str());
    }

    // Starts the service and waits for its start-up; counts a start that fails.
    bool StartService() {
        if (m_service->Running() || m_service->Start(START_MS))
            return true;
        ++figures.failedStarts;
        PrintLogTail("the service did not start after a kill");
        return false;
    }

    // SIGKILL; false when the service had already ended, which only a reboot it asked for may
    // explain (it then ends with status 0).
    bool KillService() {
        if (m_service->Running()) {
            m_service->Kill();
            return true;
        }
        if (int status = m_service->WaitExit(0); status != 0) {
            ++figures.crashes;
            PrintLogTail("the service ended by itself (" + std::to_string(status) + ")");
        }
        return false;
    }

    // The store service plays an update, half of them failing somewhere; the user answers the
    // notification if it shows before the kill.
    bool DuringUpdate() {
        std::string version = std::to_string(Pick(2, 3)) + "." + std::to_string(Pick(0, 1)) + ".0";
        std::string body = R"({"rsp":{"stat":"ok","app":{"version":")" + version +
                           R"(","description":"Release notes of )" + version + R"("}}})";
        m_bodies.insert(body);
        m_releaseNotes.SetReply({200, body, 0});
        std::string options = "store play --step-delay 0.03 --answer-timeout 1 --version " +
                              version + " --group " + (Pick(0, 1) ? "abtest" : "normal") +
                              " --max-retry " + std::to_string(Pick(1, 3));
        const char* failures[] = {"download", "install", "space"};
        if (int failure = Pick(0, 5); failure < 3)
            options += std::string(" --fail ") + failures[failure] + " --attempts " +
                       std::to_string(Pick(1, 3));
        size_t posts = UpdateNotificationIds(*m_device).size();
        BackgroundTvctl play(*m_device, options);
        int window = Pick(0, 700);
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(window);
        if (int id = NewUpdateNotification(*m_device, posts, window); id >= 0) {
            int button = Pick(1, 4);  // 4: the user hides it
            m_device->Tvctl((button == 4 ? "hide " : "press ") + std::to_string(id) +
                            (button == 4 ? "" : " " + std::to_string(button)));
        }
        std::this_thread::sleep_until(end);
        return KillService();
    }

    bool DuringRequest() {
        m_device->Remove("fs/opt/usr/home/owner/share/.preload_home_pkg");
        m_device->Tvctl(REQUESTS[Pick(0, 3)]);
        std::this_thread::sleep_for(std::chrono::milliseconds(Pick(0, 150)));
        return KillService();
    }

    int JunkLeft() const {
        return static_cast<int>(std::count_if(m_junk.begin(), m_junk.end(), [&](const auto& file) {
            return m_device->Exists(file);
        }));
    }

    // A reset is found at start (the factory count went up) or while running (the portal was
    // reset); the kill comes once the wipe has left a random part of the old user data, none to
    // all of it.
    bool DuringWipe(bool atStart) {
        for (const std::string& file : m_junk)
            m_device->Write(file, "old user data\n");
        if (atStart) {
            BumpCounter(*m_device, "db/factory/factory_reset_count");
            m_service->Start(0);  // does not wait for the start-up
        } else {
            PortalReset(*m_device);
        }
        int target = Pick(0, static_cast<int>(m_junk.size()));
        WaitUntil([&] { return JunkLeft() <= target; }, START_MS);
        bool killed = KillService();
        int left = JunkLeft();
        if (!killed || left == 0)
            return killed;  // the wipe was done before the kill
        ++figures.wipesCutShort;
        figures.wipesCutMidway += left < static_cast<int>(m_junk.size());
        if (!StartService())
            return killed;
        if (JunkLeft() == 0) {
            ++figures.wipesCompleted;
        } else {
            printf(
                "a wipe cut short by a kill (%d files left) was not completed at the next "
                "start: %d files of the old user data are still there\n",
                left, JunkLeft());
            for (const std::string& file : m_junk)
                m_device->Remove(file);
        }
        KillService();  // the next activity starts from a stopped service again
        return killed;
    }

    // Each state file is absent or whole.
    void CheckStateFiles() {
        auto lines = [](size_t count) {
            return [count](const std::string& text) { return WholeLines(text, count); };
        };
        auto object = [](const std::string& text) {
            Json::Value value;
            return ParseJson(text, &value) && value.isObject();
        };
        const std::pair<std::string, std::function<bool(const std::string&)>> files[] = {
            {DATA + "request_retry.txt", lines(3)},
            {DATA + "user_retry.txt", lines(3)},
            {TRUSTED + ".resetflag", lines(3)},
            {TRUSTED + ".home_version_tracker", lines(0)},
            {TRUSTED + "abtest", object},
            {TRUSTED + "appDetail", [&](const std::string& text) { return m_bodies.count(text); }},
        };
        for (const auto& [path, whole] : files) {
            std::string content = m_device->Read(path);
            if (m_device->Exists(path) && !whole(content)) {
                ++figures.torn;
                printf("torn or empty after a kill: %s holds %zu bytes: \"%s\"\n", path.c_str(),
                       content.size(), content.substr(0, 200).c_str());
            }
        }
    }

    std::mt19937 m_random;
    LocalHttpServer m_releaseNotes;
    std::set<std::string> m_bodies;
    std::vector<std::string> m_junk;
    std::unique_ptr<TestDevice> m_device;
    std::unique_ptr<ServiceProcess> m_service;
};

}  // namespace

int main(int argc, char** argv) {
    int kills = 100;
    int seconds = -1;
    unsigned seed = static_cast<unsigned>(time(nullptr));
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--kills" && i + 1 < argc) {
            kills = atoi(argv[++i]);
        } else if (option == "--seconds" && i + 1 < argc) {
            seconds = atoi(argv[++i]);
        } else if (option == "--seed" && i + 1 < argc) {
            seed = static_cast<unsigned>(strtoul(argv[++i], nullptr, 10));
        } else {
            fprintf(stderr, "usage: KillSoak [--kills N] [--seed S] [--seconds T]\n");
            return 2;
        }
    }
    if (seconds < 0)
        seconds = 5 * kills;
    printf("kill soak: %d kills within %d s, seed %u\n", kills, seconds, seed);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    Figures f;
    bool ended = true;
    {
        Soak soak(seed);
        while (ended && soak.figures.kills < kills) {
            ended = std::chrono::steady_clock::now() < deadline && soak.KillOnce();
        }
        f = soak.figures;
    }
    if (!ended)
        printf("the soak ended after %d of %d kills: %s\n", f.kills, kills,
               f.failedStarts || f.crashes ? "the service stopped starting or ended by itself"
               : f.roundsWithoutKill >= ROUNDS_WITHOUT_KILL ? "rounds in a row ended without a kill"
                                                            : "its time ran out");
    printf(
        "\n| kills | during updates | during requests | during wipes at start | during wipes "
        "while running | torn or empty state files | wipes cut short by a kill (mid-way) | "
        "completed after the next start | starts that failed after a kill |\n");
    printf("|---|---|---|---|---|---|---|---|---|\n");
    printf("| %d | %d | %d | %d | %d | %d | %d (%d) | %d (%.0f %%) | %d |\n", f.kills,
           f.byActivity[UPDATE], f.byActivity[REQUEST], f.byActivity[WIPE_AT_START],
           f.byActivity[WIPE_WHILE_RUNNING], f.torn, f.wipesCutShort, f.wipesCutMidway,
           f.wipesCompleted, f.wipesCutShort ? 100.0 * f.wipesCompleted / f.wipesCutShort : 100.0,
           f.failedStarts);
    printf("the service ended by itself (not by a reboot): %d times\n", f.crashes);
    bool ok = ended && f.torn == 0 && f.wipesCompleted == f.wipesCutShort && f.failedStarts == 0 &&
              f.crashes == 0;
    return ok ? 0 : 1;
}
