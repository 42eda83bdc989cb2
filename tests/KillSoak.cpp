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
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BackgroundTvctl.h"
#include "LocalHttpServer.h"
#include "ServiceProcess.h"
#include "TestDevice.h"
#include "UpdateNotifications.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* SERVICE = "com.talvoro.tv.brenwick";
constexpr const char* DATA = "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/data/";
constexpr const char* TRUSTED = "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/shared/trusted/";
constexpr const char* HOME_RESET_FLAG = "fs/opt/usr/home/owner/share/.preload_home_pkg";
constexpr int START_MS = 10000;
constexpr int KILLS_PER_DEVICE = 50;  // a fresh television now and then keeps the journals short
constexpr int UPDATE_WINDOW_MS = 700;
constexpr int REQUEST_WINDOW_MS = 150;
constexpr int JUNK_DIRS = 5;
constexpr int JUNK_FILES_PER_DIR = 40;

enum Activity { UPDATE, REQUEST, WIPE_AT_START, WIPE_WHILE_RUNNING, ACTIVITIES };
const char* const ACTIVITY_NAMES[ACTIVITIES] = {"updates", "requests", "wipes at start",
                                                "wipes while running"};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream split(text);
    for (std::string line; std::getline(split, line);)
        lines.push_back(line);
    return lines;
}

bool IsNumber(const std::string& text) {
    char* end = nullptr;
    strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0';
}

// N lines, each ended by "\n", the first `numbers` of them decimal numbers, none empty.
bool LinesWhole(const std::string& text, size_t count, size_t numbers) {
    std::vector<std::string> lines = Lines(text);
    if (text.empty() || text.back() != '\n' || (count && lines.size() != count))
        return false;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].empty() || (i < numbers && !IsNumber(lines[i])))
            return false;
    }
    return true;
}

bool JsonObject(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &value, &errors) &&
           value.isObject();
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
    explicit Soak(unsigned seed) : m_random(seed) {}

    // Wipes run once undisturbed, to learn how long a start with a wipe and a wipe take here.
    void Calibrate() {
        FreshDevice();
        PlantJunk();
        BumpCounter("db/factory/factory_reset_count");
        auto start = std::chrono::steady_clock::now();
        m_service->Start(START_MS);
        m_wipeAtStartMs = ElapsedMs(start) * 3 / 2;
        PlantJunk();
        start = std::chrono::steady_clock::now();
        StartPortalReset();
        WaitUntil([&] { return JunkLeft() == 0; }, START_MS);
        m_wipeWhileRunningMs = ElapsedMs(start) * 3 / 2;
        printf(
            "calibration: a start with a wipe takes %d ms, a wipe while running %d ms; kills "
            "fall within 1.5 times that\n",
            m_wipeAtStartMs * 2 / 3, m_wipeWhileRunningMs * 2 / 3);
        KillService();
    }

    void KillOnce() {
        if (m_figures.kills % KILLS_PER_DEVICE == 0)
            FreshDevice();
        Activity activity = static_cast<Activity>(Pick(0, ACTIVITIES - 1));
        bool killed = false;
        switch (activity) {
            case UPDATE:
                killed = DuringUpdate();
                break;
            case REQUEST:
                killed = DuringRequest();
                break;
            case WIPE_AT_START:
            case WIPE_WHILE_RUNNING:
                killed = DuringWipe(activity == WIPE_AT_START);
                break;
            case ACTIVITIES:
                break;
        }
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

    static int ElapsedMs(std::chrono::steady_clock::time_point since) {
        return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - since)
                                    .count());
    }

    void FreshDevice() {
        m_service.reset();
        m_device.reset();
        m_device = std::make_unique<TestDevice>();
        m_service = std::make_unique<ServiceProcess>(*m_device);
        m_device->Write("config/server_url", m_releaseNotes.BaseUrl());
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
        if (!m_service->Running()) {
            int status = m_service->WaitExit(0);
            if (status != 0) {
                ++m_figures.crashes;
                printf("the service ended by itself (%d); the end of its log:\n%s\n", status,
                       LogTail().c_str());
            }
            return false;
        }
        kill(m_service->Pid(), SIGKILL);
        m_service->WaitExit(START_MS);
        return true;
    }

    std::string LogTail() const {
        std::string log = m_device->Log();
        return log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
    }

    // Waits up to `ms`, pressing a button of (or hiding) the update notification once it shows.
    void AnswerUntil(int ms, size_t postsBefore) {
        bool answered = false;
        auto start = std::chrono::steady_clock::now();
        while (ElapsedMs(start) < ms) {
            std::vector<int> ids = answered ? std::vector<int>() : UpdateNotificationIds(*m_device);
            if (ids.size() > postsBefore) {
                const char* answers[] = {"press ID 1", "press ID 2", "press ID 3", "hide ID"};
                std::string command = answers[Pick(0, 3)];
                m_device->Tvctl(command.replace(command.find("ID"), 2, std::to_string(ids.back())));
                answered = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    bool DuringUpdate() {
        if (!StartService())
            return false;
        const char* versions[] = {"2.0.0", "2.1.0", "3.0.0", "3.1.0"};
        std::string version = versions[Pick(0, 3)];
        std::string body = R"({"rsp":{"stat":"ok","app":{"version":")" + version +
                           R"(","description":"Release notes of )" + version + R"("}}})";
        m_bodies.insert(body);
        m_releaseNotes.SetReply({200, {body}, 0});
        std::string options = "store play --step-delay 0.03 --answer-timeout 1 --version " +
                              version + " --group " + (Pick(0, 1) ? "abtest" : "normal") +
                              " --max-retry " + std::to_string(Pick(1, 3));
        const char* failures[] = {"", " --fail download", " --fail install", " --fail space"};
        int failure = Pick(0, 5);  // half of the updates fail somewhere
        if (failure >= 1 && failure <= 3)
            options += failures[failure] + std::string(" --attempts ") + std::to_string(Pick(1, 3));
        size_t posts = UpdateNotificationIds(*m_device).size();
        BackgroundTvctl play(*m_device, options);
        AnswerUntil(Pick(0, UPDATE_WINDOW_MS), posts);
        bool killed = KillService();
        play.Stop();
        return killed;
    }

    bool DuringRequest() {
        if (!StartService())
            return false;
        switch (Pick(0, 3)) {
            case 0:
                m_device->Tvctl(std::string("launch ") + SERVICE + " LaunchReason=Hidden_Key");
                break;
            case 1:
                m_device->Tvctl(std::string("launch ") + SERVICE +
                                " LaunchReason=CheckUpdateValidation");
                break;
            case 2:
                m_device->Tvctl(std::string("launch ") + SERVICE +
                                " LaunchReason=DetailPopup RequestStatus=3");
                break;
            default:
                // The platform took the last reset's flag at its reboot.
                m_device->Remove(HOME_RESET_FLAG);
                m_device->Tvctl("set db/home/reset_status start");
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(Pick(0, REQUEST_WINDOW_MS)));
        return KillService();
    }

    // ---- wipes ----------------------------------------------------------------------------

    std::string JunkPath(const char* dir, int subdir, int file) const {
        return std::string(dir) + "old-cache-" + std::to_string(subdir) + "/junk-" +
               std::to_string(file);
    }

    // Old user data that a reset must wipe, in both directories.
    void PlantJunk() {
        for (const char* dir : {DATA, TRUSTED}) {
            for (int subdir = 0; subdir < JUNK_DIRS; ++subdir) {
                for (int file = 0; file < JUNK_FILES_PER_DIR; ++file)
                    m_device->Write(JunkPath(dir, subdir, file), "old user data\n");
            }
        }
    }

    int JunkLeft() const {
        int left = 0;
        for (const char* dir : {DATA, TRUSTED}) {
            for (int subdir = 0; subdir < JUNK_DIRS; ++subdir) {
                for (int file = 0; file < JUNK_FILES_PER_DIR; ++file)
                    left += m_device->Exists(JunkPath(dir, subdir, file));
            }
        }
        return left;
    }

    void RemoveJunk() {
        std::error_code ignored;
        for (const char* dir : {DATA, TRUSTED}) {
            for (int subdir = 0; subdir < JUNK_DIRS; ++subdir)
                fs::remove_all(m_device->Path(dir + ("old-cache-" + std::to_string(subdir))),
                               ignored);
        }
    }

    void BumpCounter(const std::string& key) {
        std::string value = m_device->Key(key);  // "i:N"
        int count = value.size() > 2 ? atoi(value.c_str() + 2) : 0;
        m_device->Tvctl("set -t int " + key + " " + std::to_string(count + 1));
    }

    void StartPortalReset() {
        BumpCounter("db/lumaport/reset_count");
        m_device->Tvctl("set -t int memory/kesh/lumaport_reset_state 1");
    }

    bool DuringWipe(bool atStart) {
        bool killed = false;
        if (atStart) {
            PlantJunk();
            BumpCounter("db/factory/factory_reset_count");
            int delay = Pick(0, m_wipeAtStartMs);
            auto start = std::chrono::steady_clock::now();
            m_service->Start(delay);  // returns at start-up or when the delay has passed
            std::this_thread::sleep_for(
                std::chrono::milliseconds(std::max(0, delay - ElapsedMs(start))));
            killed = KillService();
        } else {
            if (!StartService())
                return false;
            PlantJunk();
            StartPortalReset();
            std::this_thread::sleep_for(std::chrono::milliseconds(Pick(0, m_wipeWhileRunningMs)));
            killed = KillService();
        }
        int left = JunkLeft();
        if (!killed || left == 0)
            return killed;  // the wipe was done before the kill
        ++m_figures.wipesCutShort;
        m_figures.wipesCutMidway += left < 2 * JUNK_DIRS * JUNK_FILES_PER_DIR;
        if (!StartService())
            return killed;
        if (JunkLeft() == 0) {
            ++m_figures.wipesCompleted;
        } else {
            printf(
                "a wipe cut short by a kill (%d files left) was not completed at the next "
                "start: %d files of the old user data are still there\n",
                left, JunkLeft());
            RemoveJunk();
        }
        KillService();  // the next activity starts from a stopped service again
        return killed;
    }

    // ---- the state files after a kill --------------------------------------------------------

    void CheckStateFiles() {
        struct StateFile {
            const char* dir;
            const char* name;
            std::function<bool(const std::string&)> whole;
        };
        const StateFile files[] = {
            {DATA, "request_retry.txt", [](const std::string& t) { return LinesWhole(t, 3, 2); }},
            {DATA, "user_retry.txt", [](const std::string& t) { return LinesWhole(t, 3, 2); }},
            {TRUSTED, ".resetflag", [](const std::string& t) { return LinesWhole(t, 3, 3); }},
            {TRUSTED, ".home_version_tracker",
             [](const std::string& t) { return LinesWhole(t, 0, 0); }},
            {TRUSTED, "abtest", JsonObject},
            {TRUSTED, "appDetail", [&](const std::string& t) { return m_bodies.count(t) > 0; }},
        };
        for (const auto& file : files) {
            std::string path = std::string(file.dir) + file.name;
            if (!m_device->Exists(path))
                continue;
            std::string content = m_device->Read(path);
            if (file.whole(content))
                continue;
            ++m_figures.torn;
            printf("torn or empty after a kill: %s holds %zu bytes: \"%s\"\n", file.name,
                   content.size(), content.substr(0, 200).c_str());
        }
        // A write cut short leaves its temporary: NAME followed by a dot and a suffix.
        int temporaries = 0;
        for (const char* dir : {DATA, TRUSTED}) {
            std::error_code ignored;
            for (const auto& entry : fs::directory_iterator(m_device->Path(dir), ignored)) {
                std::string name = entry.path().filename().string();
                for (const auto& file : files)
                    temporaries += name.rfind(std::string(file.name) + ".", 0) == 0;
            }
        }
        m_figures.mostTemporaries = std::max(m_figures.mostTemporaries, temporaries);
    }

    std::mt19937 m_random;
    LocalHttpServer m_releaseNotes;
    std::set<std::string> m_bodies;
    std::unique_ptr<TestDevice> m_device;
    std::unique_ptr<ServiceProcess> m_service;
    int m_wipeAtStartMs = 300;
    int m_wipeWhileRunningMs = 100;
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
    Figures figures;
    {
        Soak soak(seed);
        soak.Calibrate();
        while (soak.Result().kills < kills)
            soak.KillOnce();
        figures = soak.Result();
    }
    double completed =
        figures.wipesCutShort ? 100.0 * figures.wipesCompleted / figures.wipesCutShort : 100.0;
    printf(
        "\n| kills | during updates | during requests | during wipes at start | during wipes "
        "while running | torn or empty state files | wipes cut short by a kill (mid-way) | "
        "completed after the next start | starts that failed after a kill |\n");
    printf("|---|---|---|---|---|---|---|---|---|\n");
    printf("| %d | %d | %d | %d | %d | %d | %d (%d) | %d (%.0f %%) | %d |\n", figures.kills,
           figures.byActivity[UPDATE], figures.byActivity[REQUEST],
           figures.byActivity[WIPE_AT_START], figures.byActivity[WIPE_WHILE_RUNNING], figures.torn,
           figures.wipesCutShort, figures.wipesCutMidway, figures.wipesCompleted, completed,
           figures.failedStarts);
    printf(
        "the service ended by itself (not by a reboot): %d times; most temporary files found "
        "beside the state files after a kill: %d\n",
        figures.crashes, figures.mostTemporaries);
    bool ok = figures.torn == 0 && figures.wipesCompleted == figures.wipesCutShort &&
              figures.failedStarts == 0 && figures.crashes == 0;
    return ok ? 0 : 1;
}
