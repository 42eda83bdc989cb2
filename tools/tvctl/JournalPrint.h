// Printing a file of log/ line by line, and following it for new lines.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "Commands.h"
#include "ConsoleUtil.h"
#include "HostCore.h"

namespace tvctl {

// Hands each whole line, line feed included, to `onLine`: a line still being appended by
// another process waits for its end. With `follow`, waits for more lines until interrupted.
inline void ForEachLine(const std::string& path, bool follow,
                        const std::function<void(const std::string&)>& onLine) {
    FILE* file = nullptr;
    std::string partial;
    char buffer[4096];
    for (;;) {
        if (!file)
            file = fopen(path.c_str(), "r");
        size_t n = file ? fread(buffer, 1, sizeof buffer, file) : 0;
        if (n > 0) {
            partial.append(buffer, n);
            size_t end;
            while ((end = partial.find('\n')) != std::string::npos) {
                onLine(partial.substr(0, end + 1));
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

// The journal commands ("launches [-f]" and the like): prints log/NAME, -f follows it.
inline int PrintJournal(const Args& args, const std::string& name) {
    bool follow = !args.empty() && args[0] == "-f";
    if (int code = CheckArgs(Args(args.begin() + (follow ? 1 : 0), args.end()), {}))
        return code;
    if (OnlyChecking())
        return EXIT_DONE;
    ForEachLine(tvhost::RootPath("log/" + name), follow,
                [](const std::string& line) { fwrite(line.data(), 1, line.size(), stdout); });
    return EXIT_DONE;
}

}  // namespace tvctl
