// `story run`, `story record` and `story from-log`: update stories as files.
#include <glib-unix.h>
#include <glib.h>
#include <signal.h>

#include <cstdio>
#include <vector>

#include "Commands.h"
#include "ConsoleUtil.h"
#include "HostCore.h"
#include "Story.h"
#include "StoryRunner.h"
#include "StoryWriter.h"

namespace tvctl {
namespace {

const char* const RUN_USAGE = "story run [--root DIR] [--keep] [--junit FILE] [--step] FILE...";
const char* const RECORD_USAGE = "story record [--root DIR] [--allow-gaps]";
const char* const FROM_LOG_USAGE = "story from-log [--allow-gaps] DLOG";
constexpr size_t MAX_LOG_BYTES = 64UL << 20;

std::string XmlEscaped(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

struct Ran {
    story::Story story;
    story::StoryResult result;
};

bool WriteJunit(const std::string& path, const std::vector<Ran>& runs, double seconds) {
    size_t failures = 0;
    for (const auto& run : runs)
        failures += run.result.passed ? 0 : 1;
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    xml += "<testsuites><testsuite name=\"stories\" tests=\"" + std::to_string(runs.size()) +
           "\" failures=\"" + std::to_string(failures) + "\" time=\"" + std::to_string(seconds) +
           "\">\n";
    for (const auto& run : runs) {
        const std::string& name = run.story.title.empty() ? run.story.file : run.story.title;
        xml += "  <testcase classname=\"stories\" name=\"" + XmlEscaped(name) + "\" file=\"" +
               XmlEscaped(run.story.file) + "\" time=\"" + std::to_string(run.result.seconds) +
               "\">\n";
        if (!run.result.passed) {
            xml += "    <failure message=\"" + XmlEscaped("at " + run.result.failedAt) + "\">" +
                   XmlEscaped(run.result.failure) + "</failure>\n";
        }
        xml += "    <system-out>" + XmlEscaped(run.result.output) + "</system-out>\n";
        xml += "  </testcase>\n";
    }
    xml += "</testsuite></testsuites>\n";
    return tvhost::WriteFileAtomic(path, xml);
}

gboolean OnSignal(gpointer stop) {
    *static_cast<bool*>(stop) = true;
    return G_SOURCE_CONTINUE;
}

int Run(const Args& args) {
    story::RunOptions options;
    std::string junit;
    std::vector<std::string> files;
    bool rootGiven = false;
    bool junitGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if ((arg == "--root" || arg == "--junit") && i + 1 == args.size())
            return BadUsage(arg + " needs a value");
        if (arg == "--root") {
            options.root = args[++i];
            rootGiven = true;
        } else if (arg == "--junit") {
            junit = args[++i];
            junitGiven = true;
        } else if (arg == "--keep") {
            options.keep = true;
        } else if (arg == "--step")
            options.stepByStep = true;
        else if (arg.rfind('-', 0) == 0)
            return BadUsage("unknown option '" + arg + "'");
        else
            files.push_back(arg);
    }
    if (files.empty())
        return BadUsage("FILE is missing");
    if (rootGiven && options.root.empty())
        return BadUsage("--root is empty: give the device root's directory");
    if (junitGiven && junit.empty())
        return BadUsage("--junit is empty: give the report's file");
    // Every story is read before any runs: a malformed one stops them all.
    std::vector<Ran> runs(files.size());
    bool malformed = false;
    for (size_t i = 0; i < files.size(); ++i) {
        std::string problem;
        if (!story::ParseStory(files[i], &runs[i].story, &problem)) {
            Fail(EXIT_USAGE, "story run: " + problem);
            malformed = true;
        }
    }
    if (malformed || OnlyChecking())
        return malformed ? EXIT_USAGE : EXIT_DONE;

    // Whoever reads the lines may go away (a screen that ended): the stories still clean up.
    signal(SIGPIPE, SIG_IGN);
    bool stop = false;
    options.stop = &stop;
    guint term = g_unix_signal_add(SIGTERM, OnSignal, &stop);
    guint interrupt = g_unix_signal_add(SIGINT, OnSignal, &stop);
    gint64 start = g_get_monotonic_time();
    size_t passed = 0;
    size_t ran = 0;
    for (auto& run : runs) {
        if (stop)
            break;
        run.result = story::RunStory(run.story, options);
        passed += run.result.passed ? 1 : 0;
        ++ran;
    }
    g_source_remove(term);
    g_source_remove(interrupt);
    runs.resize(ran);
    double seconds = static_cast<double>(g_get_monotonic_time() - start) / 1e6;
    printf("%zu passed, %zu failed in %.2f s\n", passed, runs.size() - passed, seconds);
    if (!junit.empty() && !WriteJunit(junit, runs, seconds))
        return Fail(EXIT_FAILED, "cannot write " + junit);
    return passed == files.size() ? EXIT_DONE : EXIT_FAILED;
}

// The service's lines of a platform log, numbered as in the file: a regular file, not followed
// through a link, of at most 64 MiB.
bool ReadServiceLines(const std::string& path, std::vector<std::pair<int, story::LogLine>>* lines,
                      std::string* problem) {
    std::string text;
    std::string why;
    if (ReadRegularFile(path, MAX_LOG_BYTES, &text, &why) != FileRead::READ) {
        *problem = CurrentCommand()->name + ": cannot read " + path + ": " + why;
        return false;
    }
    int number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        story::LogLine line;
        ++number;
        if (story::ParseLogLine(text.substr(start, end - start), &line) && line.tag == "BRENWICK")
            lines->emplace_back(number, line);
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return true;
}

// Options --root DIR and --allow-gaps, and the positional arguments left.
bool WriterOptions(const Args& args, bool* allowGaps, Args* rest) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--allow-gaps") {
            *allowGaps = true;
        } else if (args[i] == "--root" && i + 1 < args.size() && !args[i + 1].empty()) {
            setenv("TV_DEVICE_ROOT", args[++i].c_str(), 1);
        } else if (args[i] == "--root") {
            BadUsage("--root needs a directory");
            return false;
        } else if (args[i].rfind('-', 0) == 0 && args[i] != "-") {
            BadUsage("unknown option '" + args[i] + "'");
            return false;
        } else {
            rest->push_back(args[i]);
        }
    }
    return true;
}

int Write(const std::vector<std::pair<int, story::LogLine>>& lines, const std::string& source,
          story::DeviceRecord* journals, bool allowGaps) {
    story::WrittenStory written = story::WriteStory(lines, source, journals);
    if (!written.gaps.empty() && !allowGaps) {
        std::string gaps;
        for (const auto& gap : written.gaps)
            gaps += "\n  " + gap;
        return Fail(EXIT_FAILED, CurrentCommand()->name + ": " + source +
                                     ": lines are missing from the log, so the story would not "
                                     "tell what happened (--allow-gaps writes it anyway, "
                                     "naming each gap):" +
                                     gaps);
    }
    fwrite(written.text.data(), 1, written.text.size(), stdout);
    return EXIT_DONE;
}

int Record(const Args& args) {
    bool allowGaps = false;
    Args rest;
    if (!WriterOptions(args, &allowGaps, &rest))
        return EXIT_USAGE;
    if (int code = CheckArgs(rest, {}))
        return code;
    if (OnlyChecking())
        return EXIT_DONE;
    if (!tvhost::DeviceRootExists())
        return Fail(EXIT_FAILED, "no provisioned device root at " + tvhost::DeviceRoot());
    std::vector<std::pair<int, story::LogLine>> lines;
    std::string problem;
    if (!ReadServiceLines(tvhost::RootPath("log/dlog.log"), &lines, &problem))
        return Fail(EXIT_FAILED, problem);
    story::DeviceRecord journals;
    journals.Read();
    return Write(lines, tvhost::DeviceRoot(), &journals, allowGaps);
}

int FromLog(const Args& args) {
    bool allowGaps = false;
    Args rest;
    if (!WriterOptions(args, &allowGaps, &rest))
        return EXIT_USAGE;
    if (int code = CheckArgs(rest, {"DLOG"}))
        return code;
    if (OnlyChecking())
        return EXIT_DONE;
    std::vector<std::pair<int, story::LogLine>> lines;
    std::string problem;
    if (!ReadServiceLines(rest[0], &lines, &problem))
        return Fail(EXIT_FAILED, problem);
    if (lines.empty())
        return Fail(EXIT_FAILED,
                    "story from-log: " + rest[0] + " holds no line of the service (tag BRENWICK)");
    return Write(lines, rest[0], nullptr, allowGaps);
}

// `story` alone, or with what is not one of its commands.
int Story(const Args& args) {
    if (args.empty())
        return BadUsage("run, record or from-log is missing (see: tvctl story --help)");
    return BadUsage("unknown command 'story " + args[0] + "' (see: tvctl story --help)");
}

}  // namespace

TVCTL_COMMAND("story", "story run|record|from-log ...",
              "update stories as files, each step a console command or an expectation (see the "
              "manual, or docs/stories.md)",
              Story);
TVCTL_COMMAND("story run", RUN_USAGE,
              "run update stories, each on a fresh device root (or DIR) with the service started "
              "and stopped around it; --keep leaves the root, --junit writes a JUnit report, "
              "--step waits for a line on standard input before each step",
              Run);
TVCTL_COMMAND("story record", RECORD_USAGE,
              "write the story of what happened on the device root (DIR): inputs as actions, what "
              "the service did as expectations",
              Record);
TVCTL_COMMAND("story from-log", FROM_LOG_USAGE,
              "write the story that replays a platform log: the inputs the service logged as "
              "actions, its logged decisions as expectations; a log with lines cut out is refused "
              "unless --allow-gaps",
              FromLog);

}  // namespace tvctl
