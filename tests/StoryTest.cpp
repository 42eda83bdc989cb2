// Update stories as the console reads, runs and writes them: a malformed story is refused before
// anything runs, a run says which step failed and why, and a log with lines cut out is not
// taken for the whole story.
#include "TestDevice.h"

namespace {

const std::string STORIES = std::string(PROJECT_SOURCE_DIR) + "/stories/";

struct Malformed {
    const char* name;
    const char* text;
    const char* says;  // after "FILE:"
};

// Each story goes to the device root, whose witness file `story run --root` would wipe.
TEST(Story, MalformedStoriesAreRefusedWithFileAndLineBeforeAnythingRuns) {
    TestDevice device;
    device.Write("prelude.story", "set db/a/b c\n");
    const Malformed rows[] = {
        {"UnknownCommand", "set db/a/b c\nfrob x\n", "2: unknown command 'frob'"},
        {"MissingArgument", "press 1\n", "1: press: BUTTON is missing"},
        {"BadNumber", "press 1 x\n", "1: press: BUTTON must be 1, 2 or 3, got 'x'"},
        {"UnterminatedQuote", "expect log \"abc\n", "1: unterminated quote: the \" at column 12"},
        {"UnknownVariable", "press $M 2\n", "1: unknown variable $M"},
        {"NotificationNotSeenYet", "press $N 2\n", "1: $N is not set yet"},
        {"ExpectationWithoutTarget", "expect\n", "1: expect what? name one of: notification"},
        {"LaunchWithoutApp", "expect launch\n", "1: expect launch: APPID is missing"},
        {"TimeoutNotADuration", "expect log x within soon\n",
         "1: the time-out must be a duration such as 500ms or 5s (at most 600s), got 'soon'"},
        {"IncludeMissing", "include prelude.story\ninclude nope.story\n",
         "2: include: cannot read 'nope.story'"},
        {"BinaryBytes", "set db/a/b c\nset db/a/b \x01\n", "2: binary byte 0x01: a story is text"},
        {"EmptyFile", "", "1: empty file: a story has at least one step"},
        {"RefusedCommand", "watch db/a/b\n", "1: 'watch' cannot run in a story"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        device.Write("witness", "");
        device.Write("bad.story", row.text);
        std::string output;
        EXPECT_EQ(2, device.Tvctl("story run --root " + device.Root() + " " +
                                      device.Path("prelude.story") + " " + device.Path("bad.story"),
                                  &output));
        EXPECT_NE(std::string::npos, output.find(device.Path("bad.story") + ":" + row.says))
            << output;
        EXPECT_TRUE(device.Exists("witness")) << "the good story ran";
    }
}

// A story that fails names its step, what was expected and what was seen; the report and the
// exit status count it.
TEST(Story, FailingStepIsNamedWithWhatWasExpectedAndSeenAndReported) {
    TestDevice device;
    device.Write("later.story",
                 "include " + STORIES +
                     "prelude.story\n"
                     "set memory/pax/priority_biu_status priority0_start\n"
                     "set memory/pax/priority_biu_status priority0_downloaded\n"
                     "expect notification \"Update your Home Screen\"\n"
                     "press $N 1\n"
                     "expect key memory/pax/priority_biu_status = allow_install within 200ms\n"
                     "expect nothing more\n");
    std::string output;
    EXPECT_EQ(1, device.Tvctl("story run --junit " + device.Path("report.xml") + " " + STORIES +
                                  "prelude.story " + device.Path("later.story"),
                              &output));
    const std::string story = device.Path("later.story");
    const std::string says[] = {
        "PASS " + STORIES + "prelude.story (2 of 2 steps, ",
        "  \u2717 " + story +
            ":6  expect key memory/pax/priority_biu_status = allow_install within "
            "200ms\n      expected: memory/pax/priority_biu_status = \"allow_install\" (waited "
            "0.20 "
            "s)\n      seen:     memory/pax/priority_biu_status = \"install_later\"\n",
        "FAIL " + story + " at " + story + ":6 (6 of 8 steps, ",
        "1 passed, 1 failed in ",
    };
    for (const auto& text : says)
        EXPECT_NE(std::string::npos, output.find(text)) << text << " in\n" << output;
    std::string report = device.Read("report.xml");
    EXPECT_NE(std::string::npos, report.find("tests=\"2\" failures=\"1\"")) << report;
    EXPECT_NE(std::string::npos, report.find("<failure message=\"at " + device.Path("later.story") +
                                             ":6\">expected: memory/pax/priority_biu_status"))
        << report;
}

struct Cut {
    const char* name;
    std::vector<const char*> lines;  // the service's, after a start the log shows
    const char* gap;
};

// Lines cut out of a log are found where what is left cannot be the whole story.
TEST(Story, LogWithLinesCutOutIsRefusedNamingEachGap) {
    TestDevice device;
    const std::string prefix = "2026-12-05 21:02:04.123 I/BRENWICK(42): ";
    const Cut rows[] = {
        {"KeyNameCut",
         {"UpdateStatusMonitor.cpp: m_OnVconfCallback(153) > changedValue : priority0_start"},
         "line 2: 'changedValue : priority0_start' without the key's name after it"},
        {"RequestCut",
         {"BrenwickMain.cpp: OnAppControlReceived(78) > AppControlReceived => 0x1"},
         "line 2: a launch request to the service whose reason is cut off"},
        {"PressCut",
         {"UpdateStatusMonitor.cpp: m_NotifyRequestStatusChanged(239) > REQUEST_STATUS "
          "allow_install"},
         "line 2: the answer allow_install without the press, hide or request that gave it"},
        {"StartCut", {}, "line 1: the start of the service (pid 42) is missing"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string log =
            prefix +
            (row.lines.empty() ? "Retry.cpp: Clear(69) > [x]" : "Main.cpp: main(6) > Begin") + "\n";
        for (const char* line : row.lines)
            log += prefix + line + "\n";
        device.Write("cut.log", log);
        std::string output;
        EXPECT_EQ(1, device.Tvctl("story from-log " + device.Path("cut.log"), &output));
        EXPECT_NE(std::string::npos, output.find("lines are missing from the log")) << output;
        EXPECT_NE(std::string::npos, output.find("  " + std::string(row.gap))) << output;
        EXPECT_EQ(0,
                  device.Tvctl("story from-log --allow-gaps " + device.Path("cut.log"), &output));
        EXPECT_NE(std::string::npos, output.find("# gap: " + std::string(row.gap))) << output;
    }

    // The app-detail worker logs from its own thread, between the main loop's lines: no gap.
    const std::string worker = prefix + "AppDetail.cpp: m_Request(180) > \n";
    device.Write("whole.log", prefix + "Main.cpp: main(6) > Begin\n" + prefix +
                                  "UpdateStatusMonitor.cpp: m_OnVconfCallback(153) > changedValue "
                                  ": priority0_start\n" +
                                  worker + prefix +
                                  "UpdateStatusMonitor.cpp: m_OnVconfCallback(155) > keyName : "
                                  "memory/pax/priority_biu_status\n" +
                                  prefix +
                                  "BrenwickMain.cpp: OnAppControlReceived(78) > "
                                  "AppControlReceived => 0x1\n" +
                                  worker + prefix +
                                  "AppControlUtil.cpp: GetCallerApp(40) > Caller App => tvctl\n" +
                                  worker + prefix +
                                  "AppControlUtil.cpp: GetExtraData(55) > Extra Data "
                                  "[LaunchReason] => Hidden_Key\n");
    std::string story;
    EXPECT_EQ(0, device.Tvctl("story from-log " + device.Path("whole.log"), &story)) << story;
    EXPECT_NE(std::string::npos, story.find("\nset memory/pax/priority_biu_status priority0_start\n"
                                            "launch $SERVICE LaunchReason=Hidden_Key\n"))
        << story;
}

}  // namespace
