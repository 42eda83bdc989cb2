// Reading a story: every line is checked before anything runs, and the first thing that is
// wrong is named with its file and line.
#include <cerrno>
#include <climits>
#include <cstring>
#include <set>
#include <sstream>

#include "Commands.h"
#include "ConsoleUtil.h"
#include "HostCore.h"
#include "Story.h"
#include "VconfInternal.h"

namespace tvctl {
namespace story {

const std::map<std::string, std::string>& FixedVariables() {
    static const std::map<std::string, std::string> fixed = {
        {"DATA", "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/data"},
        {"TRUSTED", "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/shared/trusted"},
        {"SERVICE", "com.talvoro.tv.brenwick"},
    };
    return fixed;
}

bool Word::Literal(std::string* text) const {
    text->clear();
    for (const auto& piece : pieces) {
        if (piece.variable)
            return false;
        *text += piece.text;
    }
    return true;
}

std::string Word::Expand(const std::map<std::string, std::string>& values) const {
    std::string text;
    for (const auto& piece : pieces) {
        auto value = values.find(piece.text);
        text += !piece.variable ? piece.text : value != values.end() ? value->second : "";
    }
    return text;
}

std::string Quote(const std::string& text) {
    bool bare =
        !text.empty() && text[0] != '#' && text.find_first_of(" \t\"'\\$\n") == std::string::npos;
    if (bare)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\' || c == '$')
            quoted += '\\';
        quoted += c == '\n'   ? std::string("\\n")
                  : c == '\t' ? std::string("\\t")
                              : std::string(1, c);
    }
    return quoted + "\"";
}

namespace {

constexpr size_t MAX_STORY_BYTES = 1 << 20;
constexpr size_t MAX_LINE_BYTES = 4096;
constexpr int MAX_INCLUDE_DEPTH = 8;
constexpr double MAX_TIMEOUT = 600;
const char* const EXPECT_KINDS =
    "notification, launch, toast, key, store, file, log, reboot, nothing more";
const std::set<std::string> STORE_CALLS = {"pax_add_recovery_action", "pax_request_priority_update",
                                           "pax_get_apps_sync_status", "pax_get_major_file_info"};
// Commands a story cannot run: they need a terminal, follow for ever, or replace the television
// the runner made.
const std::set<std::string> REFUSED = {"help", "init", "screen", "watch"};
const std::set<std::string> FOLLOWING = {"log", "launches", "notifications", "reboots",
                                         "store calls"};

// What a line is wrong about; thrown out of the parse of one line.
struct Wrong {
    std::string what;
    bool located = false;  // begins with FILE:LINE already
};

bool IsName(const std::string& name) {
    if (name.empty() || !(isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_'))
        return false;
    for (char c : name) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_')
            return false;
    }
    return true;
}

// One line split into words, quotes and escapes taken out, variables kept as references.
class Tokenizer {
  public:
    explicit Tokenizer(const std::string& line) : m_line(line) {}
    std::vector<Word> Words(std::string* text);

  private:
    void Escape(Word* word);
    void Variable(Word* word);
    void Add(Word* word, char c);

    const std::string& m_line;
    size_t m_at = 0;
};

void Tokenizer::Add(Word* word, char c) {
    if (word->pieces.empty() || word->pieces.back().variable)
        word->pieces.push_back({false, ""});
    word->pieces.back().text += c;
}

void Tokenizer::Escape(Word* word) {
    static const std::string plain = "\"'\\$# ";
    if (++m_at >= m_line.size())
        throw Wrong{"a '\\' at the end of the line escapes nothing"};
    char c = m_line[m_at++];
    if (c == 'n' || c == 't')
        return Add(word, c == 'n' ? '\n' : '\t');
    if (plain.find(c) == std::string::npos)
        throw Wrong{std::string("unknown escape '\\") + c +
                    "' (\\n \\t \\\" \\' \\\\ \\$ \\# and \\ are known)"};
    Add(word, c);
}

void Tokenizer::Variable(Word* word) {
    ++m_at;
    bool braced = m_at < m_line.size() && m_line[m_at] == '{';
    size_t start = m_at + (braced ? 1 : 0);
    size_t end = start;
    while (end < m_line.size() &&
           (isalnum(static_cast<unsigned char>(m_line[end])) || m_line[end] == '_'))
        ++end;
    std::string name = m_line.substr(start, end - start);
    if (!IsName(name) || (braced && (end >= m_line.size() || m_line[end] != '}')))
        throw Wrong{"a '$' must start a variable name ($N or ${N}); write \\$ for a dollar sign"};
    m_at = end + (braced ? 1 : 0);
    word->pieces.push_back({true, name});
}

std::vector<Word> Tokenizer::Words(std::string* text) {
    std::vector<Word> words;
    size_t lastEnd = 0;
    for (;;) {
        while (m_at < m_line.size() && (m_line[m_at] == ' ' || m_line[m_at] == '\t'))
            ++m_at;
        if (m_at >= m_line.size() || m_line[m_at] == '#')
            break;
        Word word;
        char quote = 0;
        size_t opened = m_at;
        while (m_at < m_line.size()) {
            char c = m_line[m_at];
            if (quote == 0 && (c == ' ' || c == '\t'))
                break;
            if (c == quote) {
                quote = 0;
                ++m_at;
            } else if (quote == 0 && (c == '"' || c == '\'')) {
                quote = c;
                opened = m_at++;
                word.quoted = true;
            } else if (quote != '\'' && c == '\\') {
                Escape(&word);
            } else if (quote != '\'' && c == '$') {
                Variable(&word);
            } else {
                Add(&word, c);
                ++m_at;
            }
        }
        if (quote)
            throw Wrong{std::string("unterminated quote: the ") + quote + " at column " +
                        std::to_string(opened + 1) + " is not closed"};
        if (word.pieces.empty())
            word.pieces.push_back({false, ""});
        words.push_back(word);
        lastEnd = m_at;
    }
    *text = m_line.substr(0, lastEnd);
    size_t first = text->find_first_not_of(" \t");
    *text = first == std::string::npos ? "" : text->substr(first);
    return words;
}

// The file's text, when it is a regular file of bounded size and text, not binary bytes.
bool ReadStoryFile(const std::string& path, std::string* text, std::string* problem) {
    std::string why;
    if (ReadRegularFile(path, MAX_STORY_BYTES, text, &why) != FileRead::READ) {
        *problem = path + ":1: cannot read the story: " + why;
        return false;
    }
    if (text->empty()) {
        *problem = path + ":1: empty file: a story has at least one step";
        return false;
    }
    int line = 1;
    for (char c : *text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte == '\n')
            ++line;
        if ((byte < 0x20 && byte != '\n' && byte != '\t' && byte != '\r') || byte == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "0x%02x", byte);
            *problem =
                path + ":" + std::to_string(line) + ": binary byte " + hex + ": a story is text";
            return false;
        }
    }
    return true;
}

std::string DirOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// "500ms", "2s", "1.5s": seconds, or a Wrong.
double Duration(const std::string& text) {
    size_t unit = text.find_first_not_of("0123456789.");
    std::string number = text.substr(0, unit);
    std::string suffix = unit == std::string::npos ? "" : text.substr(unit);
    double seconds = 0;
    bool good = (suffix == "s" || suffix == "ms") && SecondsProblem("", number, &seconds).empty();
    if (good && suffix == "ms")
        seconds /= 1000;
    if (!good || seconds <= 0 || seconds > MAX_TIMEOUT)
        throw Wrong{"the time-out must be a duration such as 500ms or 5s (at most 600s), got '" +
                    text + "'"};
    return seconds;
}

class Parser {
  public:
    Parser(Story* story) : m_story(story) {}
    void File(const std::string& path, int depth);

  private:
    void Line(const std::string& path, int number, const std::string& line, int depth);
    void Title(const std::string& text);
    void Directive(const std::string& keyword, const std::vector<Word>& words,
                   const std::string& path, int depth);
    void Action(Step* step, std::vector<Word> words);
    void Expect(Step* step, std::vector<Word> words);
    void Notification(Expectation* expect, const std::vector<Word>& words);
    void Pairs(Expectation* expect, const std::vector<Word>& words, size_t from);
    Word Resolve(const Word& word);
    std::string Check(const Word& word);
    std::string Static(const Word& word, const char* what);

    Story* m_story;
    std::map<std::string, std::string> m_lets;
    std::set<std::string> m_runTime = {"ROOT"};  // known from here on, set as the story runs
    std::vector<std::string> m_stack;            // files being read, for include cycles
    bool m_topFile = true;
};

// Let and fixed variables become text now; run-time ones stay references.
Word Parser::Resolve(const Word& word) {
    Word resolved;
    resolved.quoted = word.quoted;
    for (const auto& piece : word.pieces) {
        auto let = m_lets.find(piece.text);
        auto fixed = FixedVariables().find(piece.text);
        std::string value;
        if (!piece.variable) {
            value = piece.text;
        } else if (let != m_lets.end()) {
            value = let->second;
        } else if (fixed != FixedVariables().end()) {
            value = fixed->second;
        } else if (m_runTime.count(piece.text)) {
            resolved.pieces.push_back(piece);
            continue;
        } else if (piece.text == "N") {
            throw Wrong{
                "$N is not set yet: it is the notification the last 'expect notification' "
                "saw"};
        } else {
            throw Wrong{"unknown variable $" + piece.text +
                        " (known: $DATA $TRUSTED $SERVICE $ROOT, $N after 'expect notification', "
                        "and those made by 'let' and 'as')"};
        }
        if (resolved.pieces.empty() || resolved.pieces.back().variable)
            resolved.pieces.push_back({false, ""});
        resolved.pieces.back().text += value;
    }
    return resolved;
}

// The word as it would run, with stand-ins for what only the run knows: notification ids are 1.
std::string Parser::Check(const Word& word) {
    std::map<std::string, std::string> standIns;
    for (const auto& name : m_runTime)
        standIns[name] = "1";
    standIns["ROOT"] = "/tmp/root";
    return word.Expand(standIns);
}

// A word that must be known before the story runs.
std::string Parser::Static(const Word& word, const char* what) {
    std::string text;
    if (!word.Literal(&text))
        throw Wrong{std::string(what) + " cannot hold a run-time variable"};
    return text;
}

void Parser::File(const std::string& path, int depth) {
    std::string text;
    std::string problem;
    if (!ReadStoryFile(path, &text, &problem))
        throw Wrong{problem, true};
    char resolved[PATH_MAX];
    std::string identity = realpath(path.c_str(), resolved) ? resolved : path;
    m_stack.push_back(identity);
    std::stringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        try {
            if (line.size() > MAX_LINE_BYTES)
                throw Wrong{"the line is longer than 4096 bytes"};
            Line(path, number, line, depth);
        } catch (const Wrong& wrong) {
            // A problem inside an include names its own file and line.
            if (wrong.located)
                throw;
            throw Wrong{path + ":" + std::to_string(number) + ": " + wrong.what, true};
        }
    }
    m_stack.pop_back();
}

void Parser::Line(const std::string& path, int number, const std::string& line, int depth) {
    size_t start = line.find_first_not_of(" \t");
    // A title is text to read, never run: taken as written, to the end of the line.
    if (start != std::string::npos && line.compare(start, 5, "title") == 0 &&
        (line.size() == start + 5 || line[start + 5] == ' ' || line[start + 5] == '\t'))
        return Title(line.substr(start + 5));
    std::string text;
    std::vector<Word> words = Tokenizer(line).Words(&text);
    if (words.empty())
        return;
    std::string keyword;
    bool literal = !words[0].quoted && words[0].Literal(&keyword);
    if (literal && (keyword == "include" || keyword == "let"))
        return Directive(keyword, words, path, depth);
    Step step;
    step.file = path;
    step.line = number;
    step.text = text;
    if (literal && keyword == "expect")
        Expect(&step, std::vector<Word>(words.begin() + 1, words.end()));
    else
        Action(&step, words);
    m_story->steps.push_back(step);
}

void Parser::Title(const std::string& text) {
    // An include's title is its own, for when it runs as a story by itself.
    if (!m_topFile)
        return;
    if (!m_story->title.empty())
        throw Wrong{"the story has a title already"};
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        throw Wrong{"title: the title's text is missing"};
    m_story->title = text.substr(first);
    while (m_story->title.back() == ' ' || m_story->title.back() == '\t')
        m_story->title.pop_back();
}

void Parser::Directive(const std::string& keyword, const std::vector<Word>& words,
                       const std::string& path, int depth) {
    if (keyword == "let") {
        std::string name;
        if (words.size() != 3 || !words[1].Literal(&name))
            throw Wrong{"let: write 'let NAME VALUE'"};
        if (!IsName(name) || FixedVariables().count(name) || name == "N" || name == "ROOT")
            throw Wrong{"let: '" + name + "' cannot be a variable's name here"};
        m_lets[name] = Static(Resolve(words[2]), "a let's value");
        return;
    }
    if (words.size() != 2)
        throw Wrong{"include: write 'include FILE', FILE beside this story"};
    std::string name = Static(Resolve(words[1]), "an include's file");
    std::string included = !name.empty() && name[0] == '/' ? name : DirOf(path) + name;
    char resolved[PATH_MAX];
    if (!realpath(included.c_str(), resolved))
        throw Wrong{"include: cannot read '" + name + "': " + strerror(errno)};
    for (const auto& open : m_stack) {
        if (open == resolved)
            throw Wrong{"include: '" + name + "' includes itself"};
    }
    if (depth >= MAX_INCLUDE_DEPTH)
        throw Wrong{"include: includes nest deeper than 8"};
    bool top = m_topFile;
    m_topFile = false;
    File(included, depth + 1);
    m_topFile = top;
}

void Parser::Action(Step* step, std::vector<Word> words) {
    for (size_t i = 0; i < words.size(); ++i) {
        std::string text;
        if (words[i].quoted || !words[i].Literal(&text) || text != "<<<")
            continue;
        if (i + 2 != words.size())
            throw Wrong{"<<< takes one word, the command's standard input, at the end"};
        step->hasInput = true;
        step->input = Resolve(words[i + 1]);
        words.resize(i);
        break;
    }
    Args checked;
    for (const auto& word : words) {
        step->words.push_back(Resolve(word));
        checked.push_back(Check(step->words.back()));
    }
    if (checked.empty())
        throw Wrong{"<<< needs a command before it"};
    size_t wordCount = 0;
    const Command* command = FindCommand(checked, &wordCount);
    if (!command)
        throw Wrong{UnknownCommandProblem(checked) + " (see: tvctl help)"};
    Args args(checked.begin() + static_cast<long>(wordCount), checked.end());
    bool follows = FOLLOWING.count(command->name) && !args.empty() && args[0] == "-f";
    if (REFUSED.count(command->name) || command->name.rfind("story", 0) == 0 || follows)
        throw Wrong{"'" + command->name + (follows ? " -f" : "") +
                    "' cannot run in a story: the runner provides the television"};
    bool readsInput = std::find(args.begin(), args.end(), "-") != args.end();
    if (step->hasInput && !readsInput)
        throw Wrong{"<<< gives standard input, which '" + command->name + "' does not read"};
    std::string refusal = CheckCommand(*command, args);
    if (!refusal.empty())
        throw Wrong{refusal};
}

void Parser::Pairs(Expectation* expect, const std::vector<Word>& words, size_t from) {
    for (size_t i = from; i < words.size(); ++i) {
        std::string pair = Check(words[i]);
        if (pair.find('=') == std::string::npos || pair[0] == '=')
            throw Wrong{"extra data must be KEY=VALUE with a non-empty KEY, got '" + pair + "'"};
        expect->pairs.push_back(words[i]);
    }
}

void Parser::Notification(Expectation* expect, const std::vector<Word>& words) {
    auto keyword = [&](size_t i, const char* name) {
        std::string text;
        return !words[i].quoted && words[i].Literal(&text) && text == name;
    };
    size_t i = 1;
    if (i < words.size() && !keyword(i, "text") && !keyword(i, "buttons") && !keyword(i, "as")) {
        expect->hasTarget = true;
        expect->target = words[i++];
    }
    while (i < words.size()) {
        if (keyword(i, "text") && i + 1 < words.size()) {
            expect->hasContent = true;
            expect->content = words[i + 1];
            i += 2;
        } else if (keyword(i, "buttons") && i + 1 < words.size()) {
            expect->hasButtons = true;
            for (++i; i < words.size() && !keyword(i, "text") && !keyword(i, "as"); ++i)
                expect->buttons.push_back(words[i]);
        } else if (keyword(i, "as") && i + 2 == words.size()) {
            expect->as = Static(words[i + 1], "a notification's name");
            if (!IsName(expect->as) || FixedVariables().count(expect->as) || expect->as == "ROOT")
                throw Wrong{"as: '" + expect->as + "' cannot be a variable's name"};
            i += 2;
        } else {
            throw Wrong{"expect notification: unexpected '" + Check(words[i]) +
                        "' (it takes [TITLE] [text TEXT] [buttons TEXT...] [as NAME])"};
        }
    }
}

void Parser::Expect(Step* step, std::vector<Word> words) {
    step->isExpect = true;
    step->timeout = DEFAULT_TIMEOUT;
    std::string last;
    if (!words.empty() && !words.back().quoted && words.back().Literal(&last) && last == "within")
        throw Wrong{"within needs a duration such as 500ms or 5s"};
    if (words.size() >= 2 && !words[words.size() - 2].quoted &&
        words[words.size() - 2].Literal(&last) && last == "within") {
        step->timeout = Duration(Static(words.back(), "a time-out"));
        words.resize(words.size() - 2);
    }
    if (words.empty())
        throw Wrong{std::string("expect what? name one of: ") + EXPECT_KINDS};
    std::string kind = Static(words[0], "an expectation's kind");
    static const std::set<std::string> kinds = {
        "notification", "launch", "toast", "key", "store", "file", "log", "reboot", "nothing"};
    if (!kinds.count(kind))
        throw Wrong{"unknown expectation '" + kind + "' (one of: " + EXPECT_KINDS + ")"};
    for (auto& word : words)
        word = Resolve(word);
    Expectation& expect = step->expect;
    auto need = [&](size_t count, const char* what) {
        if (words.size() < count + 1)
            throw Wrong{"expect " + kind + ": " + what + " is missing"};
    };
    auto atMost = [&](size_t count) {
        if (words.size() > count + 1)
            throw Wrong{"expect " + kind + ": unexpected '" + Check(words[count + 1]) + "'"};
    };
    auto compared = [&](const char* what, bool files) {
        std::string word = words.size() > 2 ? Check(words[2]) : "";
        if (word == "=" && words.size() == 4) {
            expect.value = words[3];
            return;
        }
        if (words.size() == 3 && (word == "absent" || (files && word == "present"))) {
            expect.compare = word == "absent" ? Compare::ABSENT : Compare::PRESENT;
            return;
        }
        throw Wrong{"expect " + kind + ": write '" + what + "'"};
    };
    if (kind != "nothing") {
        need(kind == "reboot" ? 0 : 1, kind == "launch"  ? "APPID"
                                       : kind == "key"   ? "KEY"
                                       : kind == "store" ? "CALL"
                                       : kind == "file"  ? "PATH"
                                                         : "TEXT");
    }
    if (words.size() > 1) {
        expect.hasTarget = true;
        expect.target = words[1];
    }
    std::string target = words.size() > 1 ? Check(words[1]) : "";
    if (kind == "notification") {
        expect.kind = ExpectKind::NOTIFICATION;
        expect.hasTarget = false;
        Notification(&expect, words);
        m_runTime.insert("N");
        if (!expect.as.empty())
            m_runTime.insert(expect.as);
    } else if (kind == "launch") {
        expect.kind = ExpectKind::LAUNCH;
        std::string problem = NameProblem("application id", target);
        if (!problem.empty())
            throw Wrong{"expect launch: " + problem};
        Pairs(&expect, words, 2);
    } else if (kind == "toast" || kind == "log") {
        expect.kind = kind == "toast" ? ExpectKind::TOAST : ExpectKind::LOG;
        atMost(1);
    } else if (kind == "key") {
        expect.kind = ExpectKind::KEY;
        if (!tvhost::ValidKeyName(target))
            throw Wrong{"expect key: bad key name '" + target + "'"};
        if (words.size() == 3 && Check(words[2]) == "unset") {
            expect.compare = Compare::ABSENT;
            return;
        }
        compared("expect key KEY = VALUE' or 'expect key KEY unset", false);
    } else if (kind == "store") {
        expect.kind = ExpectKind::STORE;
        if (!STORE_CALLS.count(target))
            throw Wrong{"expect store: unknown call '" + target +
                        "' (pax_add_recovery_action, pax_request_priority_update, "
                        "pax_get_apps_sync_status or pax_get_major_file_info)"};
        Pairs(&expect, words, 2);
    } else if (kind == "file") {
        expect.kind = ExpectKind::FILE;
        std::string path = "/" + target + "/";
        if (target[0] == '/' || path.find("/../") != std::string::npos ||
            path.find("//") != std::string::npos)
            throw Wrong{"expect file: PATH is under the device root, without '..', got '" + target +
                        "'"};
        compared(
            "expect file PATH = TEXT', 'expect file PATH absent' or 'expect file PATH "
            "present",
            true);
    } else if (kind == "reboot") {
        expect.kind = ExpectKind::REBOOT;
        atMost(1);
        int code = 0;
        std::string problem =
            words.size() > 1 ? IntProblem("CODE", target, INT_MIN, INT_MAX, &code) : "";
        if (!problem.empty())
            throw Wrong{"expect reboot: " + problem};
    } else {
        expect.kind = ExpectKind::NOTHING_MORE;
        expect.hasTarget = false;
        if (words.size() != 2 || Check(words[1]) != "more")
            throw Wrong{"write 'expect nothing more'"};
    }
}

}  // namespace

bool ParseStory(const std::string& path, Story* story, std::string* problem) {
    *story = Story();
    story->file = path;
    Parser parser(story);
    try {
        parser.File(path, 0);
    } catch (const Wrong& wrong) {
        *problem = wrong.what;
        return false;
    }
    if (story->steps.empty()) {
        *problem = path + ":1: the story has no steps";
        return false;
    }
    return true;
}

}  // namespace story
}  // namespace tvctl
