#include "ScreenStories.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "HostCore.h"
#include "Story.h"

namespace tvctl {

namespace {

constexpr size_t MAX_STORY_TEXT = 1 << 20;
constexpr const char* PASSED = "  \u2713 ";
constexpr const char* FAILED = "  \u2717 ";
constexpr const char* DETAIL = "      ";

// The stories installed beside this console (BIN/../share/brenwick/stories), else those of the
// source tree it was built from.
std::string StoriesFolder() {
    std::error_code failed;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", failed);
    std::filesystem::path installed =
        (self.parent_path() / "../share/brenwick/stories").lexically_normal();
    if (!failed && std::filesystem::is_directory(installed, failed))
        return installed.string();
    return BRENWICK_STORIES_SOURCE;
}

std::string Field(GHashTable* form, const char* name) {
    const char* value = form ? static_cast<const char*>(g_hash_table_lookup(form, name)) : nullptr;
    return value ? value : "";
}

bool Begins(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

}  // namespace

ScreenStories::ScreenStories(ConsoleRunner* console, Send send)
    : m_console(console), m_send(std::move(send)), m_folder(StoriesFolder()) {}

ScreenStories::~ScreenStories() {
    if (m_running)
        m_console->Stop(m_running);
    if (!m_loaded.empty())
        std::filesystem::remove_all(m_loaded);
}

Json::Value ScreenStories::Describe(const std::string& path, std::string* problem) {
    story::Story parsed;
    Json::Value described(Json::objectValue);
    described["file"] = path;
    described["name"] = path.substr(path.rfind('/') + 1);
    if (!story::ParseStory(path, &parsed, problem))
        return described;
    described["title"] = parsed.title;
    described["steps"] = Json::Value(Json::arrayValue);
    for (const auto& step : parsed.steps) {
        Json::Value line(Json::objectValue);
        line["where"] = step.Where();
        line["text"] = step.text;
        described["steps"].append(line);
    }
    m_known.insert(path);
    return described;
}

Json::Value ScreenStories::List() {
    std::vector<std::string> names;
    if (DIR* dir = opendir(m_folder.c_str())) {
        while (struct dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 6 && name.compare(name.size() - 6, 6, ".story") == 0)
                names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    Json::Value stories(Json::arrayValue);
    for (const auto& name : names) {
        std::string problem;
        Json::Value story = Describe(m_folder + "/" + name, &problem);
        if (!problem.empty())
            story["problem"] = problem;
        stories.append(story);
    }
    return stories;
}

// A story from the page: kept in a folder of the screen's own, and checked like any other.
bool ScreenStories::Load(const std::string& name, const std::string& text, Json::Value* reply) {
    std::string file = name.substr(name.rfind('/') + 1);
    if (!tvhost::PlainName(file) || text.size() > MAX_STORY_TEXT) {
        (*reply)["message"] = "a story is loaded from a file of at most 1 MiB";
        return false;
    }
    if (m_loaded.empty()) {
        char* dir = g_dir_make_tmp("brenwick-screen-stories-XXXXXX", nullptr);
        m_loaded = dir ? dir : "";
        g_free(dir);
    }
    std::string path = m_loaded + "/" + file;
    std::string problem;
    if (m_loaded.empty() || !tvhost::WriteFileAtomic(path, text)) {
        (*reply)["message"] = "cannot keep the story " + file;
        return false;
    }
    (*reply)["story"] = Describe(path, &problem);
    (*reply)["message"] = problem.empty() ? "loaded " + file : problem;
    return problem.empty();
}

bool ScreenStories::Start(const std::string& path, bool stepByStep, std::string* problem) {
    Args args = {"story", "run", "--root", tvhost::DeviceRoot()};
    if (stepByStep)
        args.push_back("--step");
    args.push_back(path);
    m_run = Json::Value(Json::objectValue);
    m_run["file"] = path;
    m_run["results"] = Json::Value(Json::arrayValue);
    m_stepping = stepByStep;
    m_running = m_console->Run(
        args,
        [this](const ConsoleResult& result) {
            m_running = 0;
            if (m_run.isMember("end"))
                return;
            Json::Value end(Json::objectValue);
            end["kind"] = "end";
            end["passed"] = false;
            std::string error = result.error.empty() ? "the run ended early" : result.error;
            end["text"] = error.substr(0, error.find('\n'));
            Tell(end);
        },
        [this](const std::string& line) { OnLine(line); }, true);
    if (!m_running) {
        *problem = "cannot start tvctl story run";
        return false;
    }
    Json::Value start(Json::objectValue);
    start["kind"] = "start";
    start["file"] = path;
    start["stepping"] = stepByStep;
    Tell(start);
    return !stepByStep || m_console->Write(m_running, "\n");
}

// The runner's lines: "  ✓ FILE:LINE  TEXT", what a failed step expected and saw, the end.
void ScreenStories::OnLine(const std::string& line) {
    Json::Value news(Json::objectValue);
    bool passed = Begins(line, PASSED);
    if (passed || Begins(line, FAILED)) {
        std::string rest = line.substr(strlen(PASSED));
        news["kind"] = "step";
        news["where"] = rest.substr(0, rest.find("  "));
        news["passed"] = passed;
    } else if (Begins(line, DETAIL) && !m_run["results"].empty() &&
               !m_run["results"][m_run["results"].size() - 1]["passed"].asBool()) {
        news["kind"] = "detail";
        news["text"] = line.substr(strlen(DETAIL));
    } else if (Begins(line, "PASS ") || Begins(line, "FAIL ")) {
        news["kind"] = "end";
        news["passed"] = Begins(line, "PASS ");
        news["text"] = line;
    } else {
        return;
    }
    Tell(news);
}

void ScreenStories::Tell(const Json::Value& news) {
    std::string kind = news["kind"].asString();
    if (kind == "step")
        m_run["results"].append(news);
    else if (kind == "detail")
        m_run["details"].append(news["text"]);
    else if (kind == "end")
        m_run["end"] = news;
    m_send("storyrun", news);
}

bool ScreenStories::Act(const std::string& action, GHashTable* form, unsigned* status,
                        Json::Value* reply) {
    *status = 200;
    (*reply)["ok"] = true;
    std::string file = Field(form, "file");
    std::string problem;
    if (action == "stories") {
        (*reply)["stories"] = List();
        (*reply)["message"] =
            std::to_string((*reply)["stories"].size()) + " stories in " + m_folder;
    } else if (action == "story-load") {
        if (!Load(Field(form, "name"), Field(form, "text"), reply))
            *status = 400;
    } else if (action == "story-run" || action == "story-step") {
        bool step = action == "story-step";
        if (m_running && m_stepping) {
            m_console->Write(m_running, step ? "\n" : "run\n");
            m_stepping = step;
        } else if (m_running) {
            *status = 409;
            problem = "a story runs already";
        } else if (!m_known.count(file)) {
            *status = 404;
            problem = "no such story: " + file;
        } else if (!Start(file, step, &problem)) {
            *status = 500;
        }
        (*reply)["message"] =
            problem.empty() ? (step ? "one step of " : "running ") + file : problem;
    } else if (action == "story-stop") {
        if (m_running)
            m_console->Stop(m_running);
        (*reply)["message"] = m_running ? "stopping the story" : "no story runs";
    } else {
        return false;
    }
    (*reply)["ok"] = *status == 200;
    return true;
}

}  // namespace tvctl
