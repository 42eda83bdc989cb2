#include "StorePlayer.h"

#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <set>

#include "HostCore.h"
#include "Narrator.h"
#include "VconfInternal.h"

namespace tvctl {

namespace {

constexpr const char* STATUS_KEY = "memory/pax/priority_biu_status";
constexpr const char* HOME_VERSION_PACKAGE = "com.talvoro.tv.zefo.homeversion";

bool ParseNumber(const std::string& text, double* value) {
    char* end = nullptr;
    double number = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || number < 0)
        return false;
    *value = number;
    return true;
}

void Wait(double seconds, Narrator* narrator) {
    gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
    while (g_get_monotonic_time() < deadline) {
        if (!g_main_context_iteration(nullptr, FALSE))
            g_usleep(2000);
        if (narrator)
            narrator->Poll();
    }
}

void Step(const std::string& status, const PlayOptions& options, Narrator* narrator) {
    printf("store: %s\n", status.c_str());
    fflush(stdout);
    // Through the store's files, like `tvctl set`: fault rules are for the service's calls.
    tvhost::StoreKey(STATUS_KEY, 's', status);
    Wait(options.stepDelay, narrator);
}

// The service's answer to "priority0_downloaded", or "" when none came in time.
std::string WaitForAnswer(const PlayOptions& options, Narrator* narrator) {
    static const std::set<std::string> answers = {"allow_install", "install_later", "deny_install"};
    gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(options.answerTimeout * 1e6);
    for (;;) {
        std::string status = tvhost::ReadKey(STATUS_KEY).str;
        if (answers.count(status))
            return status;
        if (g_get_monotonic_time() >= deadline)
            return "";
        Wait(0.01, narrator);
    }
}

void WriteMajorFileInfo(const PlayOptions& options) {
    Json::Value info(Json::objectValue);
    info["id"] = options.id;
    info["version"] = options.version;
    info["targetGroupType"] = options.group;
    info["maxRetryCount"] = options.maxRetry;
    tvhost::WriteFileAtomic(tvhost::RootPath("store/major_file_info.json"),
                            tvhost::JsonLine(info) + "\n");
}

void SetPackageVersion(const std::string& id, const std::string& version) {
    tvhost::WriteFileAtomic(tvhost::RootPath("packages/" + id), version + "\n");
}

void End(const PlayOptions& options, Narrator* narrator) {
    Step("priority0_end", options, narrator);
}

void FailAndEnd(const std::string& failure, const PlayOptions& options, Narrator* narrator) {
    for (int attempt = 0; attempt < options.attempts; ++attempt)
        Step(failure, options, narrator);
    End(options, narrator);
}

}  // namespace

bool ParsePlayOptions(const Args& args, PlayOptions* options, std::string* error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--narrate") {
            options->narrate = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            *error = "missing value after " + option;
            return false;
        }
        const std::string& value = args[++i];
        double number = 0;
        if (option == "--id") {
            options->id = value;
        } else if (option == "--version") {
            options->version = value;
        } else if (option == "--group") {
            options->group = value;
        } else if (option == "--max-retry" && ParseNumber(value, &number) && number < 1e6) {
            options->maxRetry = static_cast<int>(number);
        } else if (option == "--attempts" && ParseNumber(value, &number) && number >= 1 &&
                   number < 1000) {
            options->attempts = static_cast<int>(number);
        } else if (option == "--step-delay" && ParseNumber(value, &number)) {
            options->stepDelay = number;
        } else if (option == "--answer-timeout" && ParseNumber(value, &number)) {
            options->answerTimeout = number;
        } else if (option == "--fail" &&
                   (value == "download" || value == "install" || value == "space")) {
            options->fail = value;
        } else {
            *error = "bad option " + option + " " + value;
            return false;
        }
    }
    if (options->id.empty() || options->version.empty()) {
        *error = "--id and --version must not be empty";
        return false;
    }
    return true;
}

namespace {

void Walk(const PlayOptions& options, Narrator* story) {
    WriteMajorFileInfo(options);
    printf("store: major file info %s %s (group %s, max retry %d)\n", options.id.c_str(),
           options.version.c_str(), options.group.c_str(), options.maxRetry);

    Step("priority0_start", options, story);
    if (options.fail == "download")
        return FailAndEnd("priority0_downloadfailed", options, story);
    if (options.fail == "space")
        return FailAndEnd("needed_space:1024", options, story);
    Step("priority0_downloaded", options, story);

    std::string answer = WaitForAnswer(options, story);
    printf("store: answer %s\n", answer.empty() ? "(none in time)" : answer.c_str());
    fflush(stdout);
    if (answer.empty()) {
        Step("cancel_by_timer", options, story);
        return End(options, story);
    }
    if (answer != "allow_install")
        return End(options, story);

    Step("priority0_installprogress", options, story);
    if (options.fail == "install")
        return FailAndEnd("priority0_installfailed", options, story);
    // Whatever the application id, the installed Home version is this package's version.
    SetPackageVersion(HOME_VERSION_PACKAGE, options.version);
    printf("store: installed %s %s\n", options.id.c_str(), options.version.c_str());
    Step("priority0_installed", options, story);
    End(options, story);
}

}  // namespace

void PlayPriorityUpdate(const PlayOptions& options, Narrator* narrator) {
    Walk(options, narrator);
    if (narrator)
        narrator->Finish();
}

}  // namespace tvctl
