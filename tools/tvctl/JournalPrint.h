// Printing a journal of log/, and following it for new lines.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

#include "Commands.h"
#include "HostCore.h"

namespace tvctl {

// Whole lines only: a line still being appended by another process waits for its end.
inline void PrintJournal(const std::string& name, bool follow) {
    std::string path = tvhost::RootPath("log/" + name);
    FILE* file = nullptr;
    std::string partial;
    char buffer[4096];
    for (;;) {
        if (!file)
            file = fopen(path.c_str(), "r");
        size_t n = file ? fread(buffer, 1, sizeof buffer, file) : 0;
        if (n > 0) {
            partial.append(buffer, n);
            size_t end = partial.rfind('\n');
            if (end != std::string::npos) {
                fwrite(partial.data(), 1, end + 1, stdout);
                partial.erase(0, end + 1);
            }
            continue;
        }
        if (!follow)
            break;
        fflush(stdout);
        if (file)
            clearerr(file);
        usleep(100000);
    }
    if (file)
        fclose(file);
}

// "[-f]" arguments of the journal commands: false when they are anything else.
inline bool ParseFollow(const Args& args, bool* follow) {
    *follow = args.size() == 1 && args[0] == "-f";
    return args.empty() || *follow;
}

}  // namespace tvctl
