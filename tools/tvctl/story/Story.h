// An update story: a file a tester writes, one step a line. Actions are the console's own
// commands; expectations wait for what the user or the store would see. The format is
// described in docs/stories.md.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace tvctl {
namespace story {

// A word of a step as written: literal text and variable references, expanded when it runs.
struct Piece {
    bool variable = false;
    std::string text;  // the text, or the variable's name
};
struct Word {
    std::vector<Piece> pieces;
    bool quoted = false;  // a quoted word is never a keyword
    // The literal text, when the word has no variable in it.
    bool Literal(std::string* text) const;
    std::string Expand(const std::map<std::string, std::string>& values) const;
};

enum class ExpectKind { NOTIFICATION, LAUNCH, TOAST, KEY, STORE, FILE, LOG, REBOOT, NOTHING_MORE };

// What a key or a file must be: equal to a value, absent or (files only) present.
enum class Compare { EQUALS, ABSENT, PRESENT };

struct Expectation {
    ExpectKind kind = ExpectKind::NOTHING_MORE;
    bool hasTarget = false;
    Word target;              // title, application, text, key, call, path or reboot code
    bool hasContent = false;  // a notification's text
    Word content;
    bool hasButtons = false;
    std::vector<Word> buttons;  // a notification's button texts, in order
    std::vector<Word> pairs;    // KEY=VALUE extra data of a launch or store call
    Compare compare = Compare::EQUALS;
    Word value;      // of a key or a file
    std::string as;  // the name a notification is kept under
};

struct Step {
    std::string file;  // as it was named, for FILE:LINE
    int line = 0;
    std::string text;  // the line as written, without its comment
    bool isExpect = false;
    std::vector<Word> words;  // an action's command line
    bool hasInput = false;    // an action's standard input, after "<<<"
    Word input;
    Expectation expect;
    double timeout = 0;  // seconds an expectation waits
    std::string Where() const { return file + ":" + std::to_string(line); }
};

struct Story {
    std::string file;
    std::string title;
    std::vector<Step> steps;
};

// Seconds an expectation waits when its line does not say.
constexpr double DEFAULT_TIMEOUT = 3;

// The story in `path`, its includes read in. False with *problem "FILE:LINE: what is wrong"
// for the first thing that is wrong; nothing is run or changed either way.
bool ParseStory(const std::string& path, Story* story, std::string* problem);

// "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/data" and the like: $DATA, $TRUSTED, $SERVICE.
const std::map<std::string, std::string>& FixedVariables();

// A word as a story would write it: bare when it can be, else in double quotes with escapes.
std::string Quote(const std::string& text);

}  // namespace story
}  // namespace tvctl
