#include "StoryRunner.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <set>

#include "Commands.h"
#include "DeviceRecord.h"
#include "DeviceWatch.h"
#include "HostCore.h"
#include "Narrator.h"
#include "ServiceNames.h"
#include "StoryExpect.h"
#include "VconfInternal.h"

namespace tvctl {
namespace story {

namespace {

constexpr const char* RESET_STATUS_KEY = "db/home/reset_status";
constexpr const char* BARRIER = "story-barrier-";
constexpr double BARRIER_SECONDS = 5;
constexpr int MAX_BARRIERS = 20;
// Actions whose effect the service handles: the step ends once it has, and what that set off.
const std::set<std::string> SETTLING = {"set", "unset", "press", "hide", "launch", "power", "boot"};
const std::set<std::string> BACKGROUND = {"store play", "store serve"};

double Since(gint64 start) {
    return static_cast<double>(g_get_monotonic_time() - start) / 1e6;
}

std::string Seconds(double seconds) {
    char text[32];
    snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// This very program, for the commands that run beside the story.
std::string SelfProgram() {
    std::error_code failed;
    std::string self = std::filesystem::read_symlink("/proc/self/exe", failed).string();
    return failed ? "/proc/self/exe" : self;
}

class Run {
  public:
    Run(const Story& story, const RunOptions& options)
        : m_story(story), m_options(options), m_matcher(&m_record, &m_variables) {}
    StoryResult Go();

  private:
    bool Prepare(std::string* why);
    void Finish();
    bool Step(const story::Step& step, std::string* failure);
    bool Act(const story::Step& step, std::string* failure);
    bool Expect(const story::Step& step, std::string* failure);
    bool StartService(std::string* failure);
    bool Background(const Args& line, std::string* failure);
    bool Settle(std::string* failure);
    bool Barrier(int* lines, bool* quiet, std::string* failure);
    bool TakeRequestLines(size_t last);
    bool WaitFor(const std::function<bool()>& done, double seconds);
    bool ServiceAlive();
    bool NextStepWanted();
    int Quietly(const Args& line, std::string* output, const std::string* input = nullptr);
    void Print(const std::string& line);
    void Tell(const std::string& who, const std::string& what);
    bool Stopped() const { return m_options.stop && *m_options.stop; }

    const Story& m_story;
    const RunOptions& m_options;
    StoryResult m_result;
    DeviceRecord m_record;
    Variables m_variables;
    Matcher m_matcher;
    std::unique_ptr<DeviceWatch> m_watch;
    std::unique_ptr<Narrator> m_narrator;
    std::string m_top;  // the temporary directory of a fresh root
    std::string m_root;
    std::string m_previousRoot;
    int m_previousDir = -1;
    bool m_changed = false;
    bool m_runToEnd = false;
    long m_servicePid = 0;
    int m_barriers = 0;
    std::vector<std::pair<pid_t, std::string>> m_background;  // pid, output file
};

void Run::Print(const std::string& line) {
    printf("%s\n", line.c_str());
    fflush(stdout);
    m_result.output += line + "\n";
}

void Run::Tell(const std::string& who, const std::string& what) {
    std::string label = who + ":";
    label.resize(std::max<size_t>(label.size(), 9), ' ');
    Print("      " + label + what);
}

// Runs a console command in this process, its output captured rather than printed.
int Run::Quietly(const Args& line, std::string* output, const std::string* input) {
    size_t wordCount = 0;
    const Command* command = FindCommand(line, &wordCount);
    if (!command) {
        *output = UnknownCommandProblem(line);
        return EXIT_USAGE;
    }
    fflush(stdout);
    fflush(stderr);
    int capture = memfd_create("story-output", MFD_CLOEXEC);
    int savedOut = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    int savedErr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    int savedIn = -1;
    dup2(capture, STDOUT_FILENO);
    dup2(capture, STDERR_FILENO);
    if (input) {
        int feed = memfd_create("story-input", MFD_CLOEXEC);
        if (write(feed, input->data(), input->size()) != static_cast<ssize_t>(input->size()))
            input = nullptr;
        lseek(feed, 0, SEEK_SET);
        savedIn = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
        dup2(feed, STDIN_FILENO);
        close(feed);
        std::cin.clear();
    }
    int code = RunCommand(*command, Args(line.begin() + static_cast<long>(wordCount), line.end()));
    fflush(stdout);
    fflush(stderr);
    dup2(savedOut, STDOUT_FILENO);
    dup2(savedErr, STDERR_FILENO);
    close(savedOut);
    close(savedErr);
    if (savedIn >= 0) {
        dup2(savedIn, STDIN_FILENO);
        close(savedIn);
        clearerr(stdin);
        std::cin.clear();
    }
    output->clear();
    char buffer[4096];
    ssize_t n;
    lseek(capture, 0, SEEK_SET);
    while ((n = read(capture, buffer, sizeof buffer)) > 0)
        output->append(buffer, static_cast<size_t>(n));
    close(capture);
    return code;
}

// Runs the main loop, where the device watch tells of every change under the root, until
// `done` holds or `seconds` have passed. No fixed wait: each change is looked at as it comes.
bool Run::WaitFor(const std::function<bool()>& done, double seconds) {
    m_record.Read();
    if (done())
        return true;
    bool timedOut = false;
    guint timer = g_timeout_add(
        static_cast<guint>(seconds * 1000),
        [](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &timedOut);
    for (;;) {
        g_main_context_iteration(nullptr, TRUE);
        if (m_changed || timedOut || Stopped()) {
            m_changed = false;
            m_record.Read();
            if (done())
                break;
        }
        if (timedOut || Stopped())
            return false;
    }
    g_source_remove(timer);
    return true;
}

// The service as run/ names it, its zombie reaped when it was ours.
bool Run::ServiceAlive() {
    std::string text;
    if (tvhost::ReadWholeFile(tvhost::RootPath(std::string("run/") + SERVICE_APP_ID + ".pid"),
                              &text))
        m_servicePid = strtol(text.c_str(), nullptr, 10);
    if (m_servicePid <= 0)
        return false;
    waitpid(static_cast<pid_t>(m_servicePid), nullptr, WNOHANG);
    return tvhost::AppRunning(SERVICE_APP_ID) && tvhost::ProcessAlive(m_servicePid);
}

// The lines with which the service logged the barrier's request, ending at `last`, are taken:
// they are the runner's, not the story's. True.
bool Run::TakeRequestLines(size_t last) {
    static const char* const opening[] = {"Caller App => ", "AppControlReceived => "};
    auto& lines = m_record.Lines();
    lines[last].taken = true;
    for (size_t back = 0; back < 2 && back < last; ++back) {
        ServiceLine& line = lines[last - 1 - back];
        if (line.line.pid == lines[last].line.pid && line.line.message.rfind(opening[back], 0) == 0)
            line.taken = true;
    }
    return true;
}

// One round of the barrier: a launch request to the service and a write of a key it watches
// (its own value again), each of which it handles only after whatever was queued before it.
bool Run::Barrier(int* lines, bool* quiet, std::string* failure) {
    m_record.Read();
    size_t linesBefore = m_record.Lines().size();
    std::map<std::string, size_t> entriesBefore;
    for (const char* const* journal = JOURNALS; *journal; ++journal)
        entriesBefore[*journal] = m_record.Entries(*journal).size();
    // The key marker's line, taken so that no expectation counts it.
    auto keySeen = [&]() {
        for (size_t i = linesBefore; i < m_record.Lines().size(); ++i) {
            ServiceLine& line = m_record.Lines()[i];
            if (line.line.Unit() == "HomeResetManager.cpp" &&
                line.line.message.rfind("changedValue : ", 0) == 0)
                return line.taken = true;
        }
        return false;
    };
    std::string mark = BARRIER + std::to_string(++m_barriers);
    std::string output;
    if (Quietly({"launch", SERVICE_APP_ID, "LaunchReason=" + mark}, &output) != EXIT_DONE)
        return true;  // the service has ended meanwhile: nothing more comes from it
    bool launchSeen = false;
    bool answered = WaitFor(
        [&]() {
            for (size_t i = linesBefore; i < m_record.Lines().size() && !launchSeen; ++i) {
                if (m_record.Lines()[i].line.message == "Extra Data [LaunchReason] => " + mark)
                    launchSeen = TakeRequestLines(i);
            }
            return launchSeen || !ServiceAlive();
        },
        BARRIER_SECONDS);
    // Then the key, once the service runs its loop and watches it. A reset request in flight is
    // left alone: writing it again would ask for another.
    tvhost::KeyValue reset = tvhost::ReadKey(RESET_STATUS_KEY);
    bool keyMarker = answered && reset.type == 's' && reset.str != "start";
    if (keyMarker) {
        tvhost::StoreKey(RESET_STATUS_KEY, 's', reset.str);
        answered = WaitFor([&]() { return keySeen() || !ServiceAlive(); }, BARRIER_SECONDS);
    }
    if (!answered) {
        *failure =
            "the service did not answer the runner's barrier (a launch request and a write "
            "of " +
            std::string(RESET_STATUS_KEY) +
            ") within 5 s: it must log the "
            "requests it gets";
        return false;
    }
    int added = static_cast<int>(m_record.Lines().size() - linesBefore);
    bool journalsStill = true;
    for (const auto& [journal, before] : entriesBefore) {
        size_t own = journal == "launch.jsonl" ? 1 : 0;  // the barrier's own request
        journalsStill = journalsStill && m_record.Entries(journal).size() == before + own;
    }
    *quiet = !ServiceAlive() || (journalsStill && added == *lines);
    *lines = added;
    return true;
}

// Barriers until one finds the service doing nothing but answering it, as the one before did.
bool Run::Settle(std::string* failure) {
    int lines = -1;
    for (int round = 0; round < MAX_BARRIERS && !Stopped(); ++round) {
        if (!ServiceAlive())
            return true;
        bool quiet = false;
        if (!Barrier(&lines, &quiet, failure))
            return false;
        if (quiet)
            return true;
    }
    *failure = Stopped() ? "interrupted" : "the service kept busy through 20 barriers";
    return false;
}

bool Run::StartService(std::string* failure) {
    std::string output;
    if (Quietly({"start"}, &output) != EXIT_DONE) {
        *failure = "the service did not start: " + Trimmed(output);
        return false;
    }
    ServiceAlive();
    // Its start-up is over once it answers a barrier: from then on it watches its keys.
    return Settle(failure);
}

// `store play` and `store serve` play the store beside the story until it ends.
bool Run::Background(const Args& line, std::string* failure) {
    char path[] = "/tmp/brenwick-story-store-XXXXXX";
    int output = mkstemp(path);
    if (output < 0) {
        *failure = std::string("cannot make a file for the store's output: ") + strerror(errno);
        return false;
    }
    std::string self = SelfProgram();
    std::vector<std::string> argv = {self, "--root", m_root};
    argv.insert(argv.end(), line.begin(), line.end());
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int none = open("/dev/null", O_RDONLY);
        dup2(none, STDIN_FILENO);
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
        std::vector<char*> args;
        args.reserve(argv.size() + 1);
        for (auto& arg : argv)
            args.push_back(&arg[0]);
        args.push_back(nullptr);
        execv(self.c_str(), args.data());
        _exit(127);
    }
    close(output);
    if (pid < 0) {
        *failure = std::string("cannot start the store: ") + strerror(errno);
        unlink(path);
        return false;
    }
    m_background.emplace_back(pid, path);
    Tell("runner",
         line[0] + " " + line[1] + " runs beside the story (pid " + std::to_string(pid) + ")");
    if (line[1] != "serve")
        return true;
    // Requests of the service reach a serving store only once it listens.
    bool ended = false;
    if (WaitFor(
            [&]() {
                ended = ended || waitpid(pid, nullptr, WNOHANG) == pid;
                return ended || tvhost::AppRunning(tvhost::STORE_APP_ID);
            },
            BARRIER_SECONDS) &&
        !ended)
        return true;
    m_background.pop_back();
    std::string said;
    tvhost::ReadWholeFile(path, &said);
    unlink(path);
    *failure = "the store did not start serving: " + Trimmed(said);
    return false;
}

bool Run::Act(const story::Step& step, std::string* failure) {
    Args line;
    for (const auto& word : step.words)
        line.push_back(word.Expand(m_variables));
    size_t wordCount = 0;
    const Command* command = FindCommand(line, &wordCount);
    if (command && BACKGROUND.count(command->name))
        return Background(line, failure);
    if (command && command->name == "start")
        return StartService(failure);
    std::string input = step.hasInput ? step.input.Expand(m_variables) : "";
    std::string output;
    int code = Quietly(line, &output, step.hasInput ? &input : nullptr);
    if (code != EXIT_DONE) {
        *failure = "the command failed (exit " + std::to_string(code) + "): " + Trimmed(output);
        return false;
    }
    if (command && SETTLING.count(command->name))
        return Settle(failure);
    return true;
}

bool Run::Expect(const story::Step& step, std::string* failure) {
    const Expectation& expect = step.expect;
    if (expect.kind == ExpectKind::NOTHING_MORE) {
        if (!Settle(failure))
            return false;
        m_record.Read();
        std::string more = m_matcher.Unexpected();
        if (more.empty())
            return true;
        *failure = "expected: nothing more\nseen:     " + more;
        return false;
    }
    if (WaitFor([&]() { return m_matcher.Meets(expect); }, step.timeout))
        return true;
    *failure = "expected: " + m_matcher.Describe(expect) + " (waited " + Seconds(step.timeout) +
               ")\nseen:     " + m_matcher.Seen(expect);
    if (!ServiceAlive())
        *failure += "\n          (the service is not running)";
    return false;
}

// In step-by-step mode, a line on standard input lets the next step run: "run" lets all of the
// rest run, as does the end of the input.
bool Run::NextStepWanted() {
    if (!m_options.stepByStep || m_runToEnd)
        return true;
    struct Reading {
        std::string line;
        bool ended = false;
    } reading;
    guint reader = g_unix_fd_add(
        STDIN_FILENO, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
        [](gint fd, GIOCondition, gpointer data) -> gboolean {
            auto* state = static_cast<Reading*>(data);
            char c = 0;
            ssize_t n = read(fd, &c, 1);
            if (n > 0 && c != '\n') {
                state->line += c;
                return G_SOURCE_CONTINUE;
            }
            state->ended = true;
            if (n <= 0)
                state->line = "run";
            return G_SOURCE_REMOVE;
        },
        &reading);
    while (!reading.ended && !Stopped())
        g_main_context_iteration(nullptr, TRUE);
    if (!reading.ended)
        g_source_remove(reader);
    m_runToEnd = Trimmed(reading.line) == "run";
    return !Stopped();
}

bool Run::Step(const story::Step& step, std::string* failure) {
    bool passed = step.isExpect ? Expect(step, failure) : Act(step, failure);
    if (Stopped()) {
        *failure = "interrupted";
        passed = false;
    }
    Print(std::string("  ") + (passed ? "✓ " : "✗ ") + step.Where() + "  " + step.text);
    if (!passed) {
        std::string lines = *failure;
        for (size_t start = 0; start <= lines.size();) {
            size_t end = lines.find('\n', start);
            Print("      " + lines.substr(start, end - start));
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    }
    m_narrator->Poll();
    return passed;
}

bool Run::Prepare(std::string* why) {
    const char* previous = getenv("TV_DEVICE_ROOT");
    m_previousRoot = previous ? previous : "";
    m_root = m_options.root;
    if (m_root.empty()) {
        char top[] = "/tmp/brenwick-story-XXXXXX";
        if (!mkdtemp(top)) {
            *why = std::string("cannot make a device root: ") + strerror(errno);
            return false;
        }
        m_top = top;
        m_root = m_top + "/root";
    }
    setenv("TV_DEVICE_ROOT", m_root.c_str(), 1);
    m_root = tvhost::DeviceRoot();
    setenv("TV_DEVICE_ROOT", m_root.c_str(), 1);
    std::string output;
    // A root of one's own may hold a television that still runs: it is stopped first.
    if (!m_options.root.empty() && tvhost::DeviceRootExists() && ServiceAlive())
        Quietly({"stop", SERVICE_APP_ID}, &output);
    if (Quietly({"init", "--force"}, &output) != EXIT_DONE) {
        *why = "cannot provision the television: " + Trimmed(output);
        return false;
    }
    // Files the story names (store major-info FILE) are beside it.
    m_previousDir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string dir = m_story.file.substr(0, m_story.file.rfind('/') + 1);
    if (!dir.empty() && chdir(dir.c_str()) != 0) {
        *why = "cannot enter " + dir + ": " + strerror(errno);
        return false;
    }
    m_variables["ROOT"] = m_root;
    m_watch.reset(new DeviceWatch([this]() { m_changed = true; }));
    m_narrator.reset(
        new Narrator([this](const std::string& who, const std::string& what) { Tell(who, what); }));
    return true;
}

void Run::Finish() {
    for (const auto& [pid, path] : m_background) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        std::string output;
        tvhost::ReadWholeFile(path, &output);
        unlink(path.c_str());
        if (!m_result.passed && !output.empty())
            Print("      store output:\n" + Trimmed(output));
    }
    std::string output;
    if (!m_root.empty() && ServiceAlive())
        Quietly({"stop", SERVICE_APP_ID}, &output);
    // A service of ours that outlived its root's files (the root was removed under the story)
    // is ended all the same.
    if (m_servicePid > 0 && waitpid(static_cast<pid_t>(m_servicePid), nullptr, WNOHANG) == 0) {
        kill(static_cast<pid_t>(m_servicePid), SIGTERM);
        waitpid(static_cast<pid_t>(m_servicePid), nullptr, 0);
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    m_narrator.reset();
    m_watch.reset();
    if (m_previousDir >= 0) {
        if (fchdir(m_previousDir) != 0)
            perror("tvctl: story: back to the working directory");
        close(m_previousDir);
    }
    if (m_options.keep)
        Print("  device root kept: " + m_root);
    else if (!m_top.empty())
        std::filesystem::remove_all(m_top);
    if (m_previousRoot.empty())
        unsetenv("TV_DEVICE_ROOT");
    else
        setenv("TV_DEVICE_ROOT", m_previousRoot.c_str(), 1);
}

StoryResult Run::Go() {
    gint64 start = g_get_monotonic_time();
    Print("▶ " + m_story.file + (m_story.title.empty() ? "" : ": " + m_story.title));
    std::string failure;
    bool ready = Prepare(&failure) && StartService(&failure);
    if (ready) {
        Print("  · service started (pid " + std::to_string(m_servicePid) + ") on " + m_root);
        m_narrator->Poll();
        m_result.passed = true;
        for (const auto& step : m_story.steps) {
            if (!NextStepWanted() || !Step(step, &failure)) {
                m_result.passed = false;
                m_result.failedAt = step.Where();
                m_result.failure = failure.empty() ? "interrupted" : failure;
                break;
            }
            ++m_result.stepsPassed;
        }
    } else {
        Print("  ✗ " + m_story.file + ":1  (the television)\n      " + failure);
        m_result.failedAt = m_story.file + ":1";
        m_result.failure = failure;
    }
    Finish();
    m_result.seconds = Since(start);
    std::string counts = std::to_string(m_result.stepsPassed) + " of " +
                         std::to_string(m_story.steps.size()) + " steps, " +
                         Seconds(m_result.seconds);
    Print(m_result.passed
              ? "PASS " + m_story.file + " (" + counts + ")"
              : "FAIL " + m_story.file + " at " + m_result.failedAt + " (" + counts + ")");
    return m_result;
}

}  // namespace

StoryResult RunStory(const Story& story, const RunOptions& options) {
    return Run(story, options).Go();
}

}  // namespace story
}  // namespace tvctl
