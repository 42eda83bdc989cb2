#include "StorePlayer.h"

#include <glib.h>

#include <climits>
#include <cstdio>
#include <set>

#include "ConsoleUtil.h"
#include "HostCore.h"
#include "Narrator.h"
#include "ServiceNames.h"
#include "VconfInternal.h"

namespace tvctl {

namespace {

// Thrown out of a wait when the walk is to stop: wherever it is, nothing more is written.
struct Stopped {};

// One walk through the status key.
class Walk {
  public:
    Walk(const PlayOptions& options, Narrator* narrator, const bool* stop)
        : m_options(options), m_narrator(narrator), m_stop(stop) {}
    void Run();
    const std::string& LastStatus() const { return m_lastStatus; }

  private:
    void Wait(double seconds);
    void Step(const std::string& status);
    std::string WaitForAnswer();
    void FailAndEnd(const std::string& failure);
    void WriteMajorFileInfo();

    const PlayOptions& m_options;
    Narrator* m_narrator;
    const bool* m_stop;
    std::string m_lastStatus;
};

void Walk::Wait(double seconds) {
    gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
    for (;;) {
        if (m_stop && *m_stop)
            throw Stopped();
        if (g_get_monotonic_time() >= deadline)
            return;
        if (!g_main_context_iteration(nullptr, FALSE))
            g_usleep(2000);
        if (m_narrator)
            m_narrator->Poll();
    }
}

void Walk::Step(const std::string& status) {
    printf("store: %s\n", status.c_str());
    fflush(stdout);
    // Through the store's files, like `tvctl set`: fault rules are for the service's calls.
    tvhost::StoreKey(STATUS_KEY, 's', status);
    m_lastStatus = status;
    Wait(m_options.stepDelay);
}

// The service's answer to "priority0_downloaded", or "" when none came in time.
std::string Walk::WaitForAnswer() {
    static const std::set<std::string> answers = {"allow_install", "install_later", "deny_install"};
    gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(m_options.answerTimeout * 1e6);
    for (;;) {
        std::string status = tvhost::ReadKey(STATUS_KEY).str;
        if (answers.count(status))
            return status;
        if (g_get_monotonic_time() >= deadline)
            return "";
        Wait(0.01);
    }
}

void Walk::WriteMajorFileInfo() {
    Json::Value info(Json::objectValue);
    info["id"] = m_options.id;
    info["version"] = m_options.version;
    info["targetGroupType"] = m_options.group;
    info["maxRetryCount"] = m_options.maxRetry;
    tvhost::WriteFileAtomic(tvhost::RootPath("store/major_file_info.json"),
                            tvhost::JsonLine(info) + "\n");
}

void Walk::FailAndEnd(const std::string& failure) {
    for (int attempt = 0; attempt < m_options.attempts; ++attempt)
        Step(failure);
    Step("priority0_end");
}

void Walk::Run() {
    WriteMajorFileInfo();
    printf("store: major file info %s %s (group %s, max retry %d)\n", m_options.id.c_str(),
           m_options.version.c_str(), m_options.group.c_str(), m_options.maxRetry);

    Step("priority0_start");
    if (m_options.fail == "download")
        return FailAndEnd("priority0_downloadfailed");
    if (m_options.fail == "space")
        return FailAndEnd("needed_space:1024");
    Step("priority0_downloaded");

    std::string answer = WaitForAnswer();
    printf("store: answer %s\n", answer.empty() ? "(none in time)" : answer.c_str());
    fflush(stdout);
    if (answer.empty()) {
        Step("cancel_by_timer");
        return Step("priority0_end");
    }
    if (answer != "allow_install")
        return Step("priority0_end");

    Step("priority0_installprogress");
    if (m_options.fail == "install")
        return FailAndEnd("priority0_installfailed");
    // Whatever the application id, the installed Home version is this package's version.
    tvhost::WriteFileAtomic(tvhost::RootPath(std::string("packages/") + HOME_PACKAGE),
                            m_options.version + "\n");
    printf("store: installed %s %s\n", m_options.id.c_str(), m_options.version.c_str());
    Step("priority0_installed");
    Step("priority0_end");
}

// The option's value as a number, or what is wrong with it.
std::string NumberOption(const std::string& option, const std::string& value,
                         PlayOptions* options) {
    if (option == "--max-retry")
        return IntProblem(option, value, 0, INT_MAX, &options->maxRetry);
    if (option == "--attempts")
        return IntProblem(option, value, 1, 999, &options->attempts);
    if (option == "--step-delay")
        return SecondsProblem(option, value, &options->stepDelay);
    return SecondsProblem(option, value, &options->answerTimeout);
}

}  // namespace

bool ParsePlayOptions(const Args& args, PlayOptions* options, std::string* error) {
    static const std::set<std::string> numbers = {"--max-retry", "--attempts", "--step-delay",
                                                  "--answer-timeout"};
    static const std::set<std::string> texts = {"--id", "--version", "--group", "--fail"};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--narrate") {
            options->narrate = true;
            continue;
        }
        if (!numbers.count(option) && !texts.count(option)) {
            *error = "unknown option '" + option + "'";
            return false;
        }
        if (i + 1 >= args.size()) {
            *error = option + " needs a value";
            return false;
        }
        const std::string& value = args[++i];
        if (numbers.count(option)) {
            *error = NumberOption(option, value, options);
        } else if (option == "--fail") {
            options->fail = value;
            if (value != "download" && value != "install" && value != "space")
                *error = "--fail must be download, install or space, got '" + value + "'";
        } else if (value.empty()) {
            *error = option + " must not be empty";
        } else if (option == "--id") {
            options->id = value;
        } else if (option == "--version") {
            options->version = value;
        } else {
            options->group = value;
        }
        if (!error->empty())
            return false;
    }
    return true;
}

bool PlayPriorityUpdate(const PlayOptions& options, Narrator* narrator, const bool* stop) {
    Walk walk(options, narrator, stop);
    try {
        walk.Run();
    } catch (const Stopped&) {
        printf("store: interrupted %s; the update stops here\n",
               walk.LastStatus().empty() ? "before the first step"
                                         : ("after " + walk.LastStatus()).c_str());
        fflush(stdout);
        return false;
    }
    if (narrator)
        narrator->Finish();
    return true;
}

}  // namespace tvctl
