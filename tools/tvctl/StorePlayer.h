// The store service played from the console: one priority update walked through the status key.
#pragma once

#include <string>

#include "Commands.h"

namespace tvctl {

struct PlayOptions {
    std::string id = "com.talvoro.tv.zefo.homeversion";
    std::string version = "2.0.0";
    std::string group = "normal";
    int maxRetry = 3;
    double stepDelay = 0.5;
    double answerTimeout = 60;
    std::string fail;  // "", "download", "install" or "space"
    int attempts = 1;  // how often the store tries the failing step before it gives up
    bool narrate = false;
};

// Reads the options shared by `store play` and `store serve`; false with *error naming what is
// wrong ("--step-delay must be a decimal number of seconds ..., got 'inf'").
bool ParsePlayOptions(const Args& args, PlayOptions* options, std::string* error);

class Narrator;

// Plays one priority update, told by `narrator` when there is one. Iterates the default main
// context while it waits, so messages and watches of the calling process keep being handled.
// When *stop becomes true (a signal handled on that context) the walk ends at once, saying
// where it stopped; false then, true when the walk finished.
bool PlayPriorityUpdate(const PlayOptions& options, Narrator* narrator, const bool* stop = nullptr);

}  // namespace tvctl
