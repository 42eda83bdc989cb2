// The kill soak: the real service is killed with SIGKILL at random moments while the store
// service plays updates and the user answers, while requests reach it (the hidden test mode, an
// update request, a decline from the details page, a Home reset), and while it wipes its data
// after a reset, at start or at run time. After every kill each state file is absent or whole,
// and after the next start a wipe that the kill cut short has completed.
//
//   KillSoak [--kills N] [--seed S]      (default 100 kills; scripts/soak.sh runs a long soak)
//
// Prints its figures at the end; exits 1 when a state file was torn or empty, a wipe cut short
// did not complete at the next start, or the service did not start again after a kill.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <regex>
#include <thread>

#include "ChildProcess.h"
#include "Console.h"
#include "LocalHttpServer.h"
#include "TestDevice.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* DATA = "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/data/";
constexpr const char* TRUSTED = "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/shared/trusted/";
constexpr int START_MS = 10000;
constexpr int KILLS_PER_DEVICE = 50;  // a fresh television now and then keeps the journals short
constexpr int UPDATE_WINDOW_MS = 700;
constexpr int REQUEST_WINDOW_MS = 150;

enum Activity { UPDATE, REQUEST, WIPE_AT_START, WIPE_WHILE_RUNNING, ACTIVITIES };

// The requests that reach the service; the platform took the last Home reset's flag at its
// reboot, so a Home reset can be asked for again.
const char* const REQUESTS[] = {
    "launch com.talvoro.tv.brenwick LaunchReason=Hidden_Key",
    "launch com.talvoro.tv.brenwick LaunchReason=CheckUpdateValidation",
    "launch com.talvoro.tv.brenwick LaunchReason=DetailPopup RequestStatus=3",
    "set db/home/reset_status start",
};

int ElapsedMs(Clock::time_point since) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max(0, ms)));
}

struct Figures {
    int kills = 0;
    int byActivity[ACTIVITIES] = {};
    int torn = 0;
    int mostTemporaries = 0;
    int failedStarts = 0;
    int crashes = 0;
    int wipesCutShort = 0;
    int wipesCutMidway = 0;
    int wipesCompleted = 0;
};

class Soak {
  public:
    explicit Soak(unsigned seed) : m_random(seed) {
        // Old user data that a reset must wipe, in both directories.
        for (const char* dir : {DATA, TRUSTED}) {
            for (int i = 0; i < 200; ++i)
                m_junk.push_back(std::string(dir) + "old-cache-" + std::to_string(i % 5) +
                                 "/junk-" + std::to_string(i));
        }
    }

    void KillOnce() {
        if (m_figures.kills % KILLS_PER_DEVICE == 0)
            FreshDevice();
        int activity = Pick(0, ACTIVITIES - 1);
        bool killed = activity == UPDATE    ? DuringUpdate()
                      : activity == REQUEST ? DuringRequest()
                                            : DuringWipe(activity == WIPE_AT_START);
        if (!killed)
            return;  // it ended by itself (a Home reset reboots) before its moment came
        ++m_figures.kills;
        ++m_figures.byActivity[activity];
        CheckStateFiles();
        if (m_figures.kills % 50 == 0) {
            printf("... %d kills, %d torn or empty, %d of %d wipes cut short completed\n",
                   m_figures.kills, m_figures.torn, m_figures.wipesCompleted,
                   m_figures.wipesCutShort);
            fflush(stdout);
        }
    }

    const Figures& Result() const { return m_figures; }

  private:
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

    void FreshDevice() {
        m_service.reset();
        m_device.reset();  // before the next one takes over TV_DEVICE_ROOT
        m_device = std::make_unique<TestDevice>();
        m_service = std::make_unique<ServiceProcess>(*m_device);
        m_device->Write("config/server_url", m_releaseNotes.BaseUrl());
    }

    std::string LogTail() const {
        std::string log = m_device->Log();
        return log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
    }

    // Starts the service and waits for its start-up; counts a start that fails.
    bool StartService() {
        if (m_service->Running() || m_service->Start(START_MS))
            return true;
        ++m_figures.failedStarts;
        printf("the service did not start after a kill; the end of its log:\n%s\n",
               LogTail().c_str());
        return false;
    }

    // SIGKILL; false when the service had already ended, which only a reboot it asked for may
    // explain (it then ends with status 0).
    bool KillService() {
        if (m_service->Running()) {
            m_service->Kill();
            return true;
        }
        int status = m_service->WaitExit(0);
        if (status != 0) {
            ++m_figures.crashes;
            printf("the service ended by itself (%d); the end of its log:\n%s\n", status,
                   LogTail().c_str());
        }
        return false;
    }

    // The store service plays an update, half of them failing somewhere; the user answers the
    // notification if it shows before the kill.
    bool DuringUpdate() {
        if (!StartService())
            return false;
        std::string version = std::to_string(Pick(2, 3)) + "." + std::to_string(Pick(0, 1)) + ".0";
        std::string body = R"({"rsp":{"stat":"ok","app":{"version":")" + version +
                           R"(","description":"Release notes of )" + version + R"("}}})";
        m_bodies.insert(body);
        m_releaseNotes.SetReply({200, body, 0});
        std::string options = "store play --step-delay 0.03 --answer-timeout 1 --version " +
                              version + " --group " + (Pick(0, 1) ? "abtest" : "normal") +
                              " --max-retry " + std::to_string(Pick(1, 3));
        const char* failures[] = {"download", "install", "space"};
        int failure = Pick(0, 5);
        if (failure < 3)
            options += std::string(" --fail ") + failures[failure] + " --attempts " +
                       std::to_string(Pick(1, 3));
        size_t posts = UpdateNotificationIds(*m_device).size();
        BackgroundTvctl play(*m_device, options);
        int window = Pick(0, UPDATE_WINDOW_MS);
        auto start = Clock::now();
        int id = NewUpdateNotification(*m_device, posts, window);
        if (id >= 0) {
            int button = Pick(1, 4);  // 4: the user hides it
            std::string answer = button == 4 ? "hide " : "press ";
            answer += std::to_string(id) + (button == 4 ? "" : " " + std::to_string(button));
            m_device->Tvctl(answer);
        }
        SleepMs(window - ElapsedMs(start));
        return KillService();
    }

    bool DuringRequest() {
        if (!StartService())
            return false;
        m_device->Remove("fs/opt/usr/home/owner/share/.preload_home_pkg");
        m_device->Tvctl(REQUESTS[Pick(0, 3)]);
        SleepMs(Pick(0, REQUEST_WINDOW_MS));
        return KillService();
    }

    void PlantJunk() {
        for (const std::string& file : m_junk)
            m_device->Write(file, "old user data\n");
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
        if (!atStart && !StartService())
            return false;
        PlantJunk();
        if (atStart) {
            BumpCounter(*m_device, "db/factory/factory_reset_count");
            m_service->Start(0);  // does not wait for the start-up
        } else {
            PortalReset(*m_device);
        }
        int target = Pick(0, static_cast<int>(m_junk.size())), left = JunkLeft();
        for (auto start = Clock::now(); left > target && ElapsedMs(start) < START_MS;)
            left = JunkLeft();
        bool killed = KillService();
        left = JunkLeft();
        if (!killed || left == 0)
            return killed;  // the wipe was done before the kill
        ++m_figures.wipesCutShort;
        m_figures.wipesCutMidway += left < static_cast<int>(m_junk.size());
        if (!StartService())
            return killed;
        if (JunkLeft() == 0) {
            ++m_figures.wipesCompleted;
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

    // Each state file is absent or whole; a write cut short may leave only its temporary (the
    // file's name, a dot and a suffix), whose number is counted.
    void CheckStateFiles() {
        const std::regex retry("\\d+\n-?\\d+\n[^\n]+\n"), resetFlag("(\\d+\n){3}"),
            tracker("([^\n]+\n)+");
        const struct {
            const char* dir;
            const char* name;
            std::function<bool(const std::string&)> whole;
        } files[] = {
            {DATA, "request_retry.txt", [&](const auto& text) { return regex_match(text, retry); }},
            {DATA, "user_retry.txt", [&](const auto& text) { return regex_match(text, retry); }},
            {TRUSTED, ".resetflag", [&](const auto& text) { return regex_match(text, resetFlag); }},
            {TRUSTED, ".home_version_tracker",
             [&](const auto& text) { return regex_match(text, tracker); }},
            {TRUSTED, "abtest",
             [](const auto& text) {
                 Json::Value value;
                 return ParseJson(text, &value) && value.isObject();
             }},
            {TRUSTED, "appDetail", [&](const auto& text) { return m_bodies.count(text) > 0; }},
        };
        int temporaries = 0;
        for (const auto& file : files) {
            std::string path = std::string(file.dir) + file.name, content = m_device->Read(path);
            if (m_device->Exists(path) && !file.whole(content)) {
                ++m_figures.torn;
                printf("torn or empty after a kill: %s holds %zu bytes: \"%s\"\n", file.name,
                       content.size(), content.substr(0, 200).c_str());
            }
            std::error_code ignored;
            for (const auto& entry : fs::directory_iterator(m_device->Path(file.dir), ignored))
                temporaries +=
                    entry.path().filename().string().rfind(file.name + std::string("."), 0) == 0;
        }
        m_figures.mostTemporaries = std::max(m_figures.mostTemporaries, temporaries);
    }

    std::mt19937 m_random;
    LocalHttpServer m_releaseNotes;
    std::set<std::string> m_bodies;
    std::vector<std::string> m_junk;
    std::unique_ptr<TestDevice> m_device;
    std::unique_ptr<ServiceProcess> m_service;
    Figures m_figures;
};

}  // namespace

int main(int argc, char** argv) {
    int kills = 100;
    unsigned seed = static_cast<unsigned>(time(nullptr));
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--kills" && i + 1 < argc) {
            kills = atoi(argv[++i]);
        } else if (option == "--seed" && i + 1 < argc) {
            seed = static_cast<unsigned>(strtoul(argv[++i], nullptr, 10));
        } else {
            fprintf(stderr, "usage: KillSoak [--kills N] [--seed S]\n");
            return 2;
        }
    }
    printf("kill soak: %d kills, seed %u\n", kills, seed);
    Figures f;
    {
        Soak soak(seed);
        while (soak.Result().kills < kills)
            soak.KillOnce();
        f = soak.Result();
    }
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
    printf(
        "the service ended by itself (not by a reboot): %d times; most temporary files found "
        "beside the state files after a kill: %d\n",
        f.crashes, f.mostTemporaries);
    bool ok =
        f.torn == 0 && f.wipesCompleted == f.wipesCutShort && f.failedStarts == 0 && f.crashes == 0;
    return ok ? 0 : 1;
}
