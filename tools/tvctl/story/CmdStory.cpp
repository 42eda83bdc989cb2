// `story run`, `story record` and `story from-log`: update stories as files.
#include <glib-unix.h>
#include <glib.h>

#include <cstdio>
#include <fstream>
#include <vector>

#include "Commands.h"
#include "ConsoleUtil.h"
#include "HostCore.h"
#include "Story.h"
#include "StoryRunner.h"

namespace tvctl {
namespace {

const char* const RUN_USAGE = "story run [--root DIR] [--keep] [--junit FILE] [--step] FILE...";

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
        else if (arg.rfind("-", 0) == 0)
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

}  // namespace

TVCTL_COMMAND("story run", RUN_USAGE,
              "run update stories, each on a fresh device root (or DIR) with the service started "
              "and stopped around it; --keep leaves the root, --junit writes a JUnit report, "
              "--step waits for a line on standard input before each step",
              Run);

}  // namespace tvctl
