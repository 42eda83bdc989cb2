// Running a story: a factory-fresh television, the service started and stopped around the
// steps, each step printed as it passes or fails, with the narrator's words in between.
#pragma once

#include <string>

#include "Story.h"

namespace tvctl {
namespace story {

struct RunOptions {
    std::string root;            // the device root to use; "" for a fresh one per story
    bool keep = false;           // leave the device root behind
    bool stepByStep = false;     // read a line from standard input before each step
    const bool* stop = nullptr;  // set by a signal: the story ends where it is
};

struct StoryResult {
    bool passed = false;
    size_t stepsPassed = 0;
    double seconds = 0;
    std::string failedAt;  // FILE:LINE of the step that failed
    std::string failure;   // what was expected and what was seen
    std::string output;    // every line printed for the story
};

// The lines of the run go to standard output as they happen, and into the result.
StoryResult RunStory(const Story& story, const RunOptions& options);

}  // namespace story
}  // namespace tvctl
