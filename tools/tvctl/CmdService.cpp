// Starting the service on the device root: the one installed next to the console, else the one
// built with it.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "Commands.h"
#include "ConsoleUtil.h"
#include "HostCore.h"
#include "ServiceNames.h"

namespace fs = std::filesystem;

namespace tvctl {
namespace {

constexpr int START_TIMEOUT_MS = 10000;

// BIN/../libexec/brenwick/brenwick of an installed console, then the build tree's service.
std::vector<std::string> ServiceCandidates() {
    std::vector<std::string> candidates;
    std::error_code failed;
    fs::path self = fs::read_symlink("/proc/self/exe", failed);
    if (!failed) {
        candidates.push_back(
            (self.parent_path() / "../libexec/brenwick/brenwick").lexically_normal().string());
    }
    candidates.emplace_back(BRENWICK_BUILT_SERVICE);
    return candidates;
}

// Detached from the console's session and terminal: its lines go to the platform log.
pid_t Spawn(const std::string& program) {
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    setsid();
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
    }
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
}

// Waits until the service listens on the root, or has ended. -1 while it runs, else its status.
int WaitUntilListening(pid_t pid) {
    for (int waited = 0; waited < START_TIMEOUT_MS; waited += 10) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (tvhost::AppRunning(SERVICE_APP_ID))
            return -1;
        usleep(10000);
    }
    return -2;
}

int Start(const Args& args) {
    if (int code = CheckArgs(args, {}))
        return code;
    if (OnlyChecking())
        return EXIT_DONE;
    if (tvhost::AppRunning(SERVICE_APP_ID))
        return Fail(EXIT_FAILED, std::string(SERVICE_APP_ID) + " is already running");
    std::string program;
    std::string tried;
    for (const auto& candidate : ServiceCandidates()) {
        if (access(candidate.c_str(), X_OK) == 0) {
            program = candidate;
            break;
        }
        tried += (tried.empty() ? "" : " or ") + candidate;
    }
    if (program.empty())
        return Fail(EXIT_FAILED, "no service program at " + tried);
    fflush(nullptr);
    pid_t pid = Spawn(program);
    if (pid < 0)
        return Fail(EXIT_FAILED, "cannot start " + program);
    int status = WaitUntilListening(pid);
    if (status == -2) {
        return Fail(EXIT_FAILED, program + " (pid " + std::to_string(pid) +
                                     ") does not listen after 10 s; see: tvctl log");
    }
    if (status >= 0) {
        return Fail(EXIT_FAILED, program + " ended with status " + std::to_string(status) +
                                     " before it listened; see: tvctl log");
    }
    printf("started %s (pid %d): %s\n", SERVICE_APP_ID, static_cast<int>(pid), program.c_str());
    return EXIT_DONE;
}

}  // namespace

TVCTL_COMMAND("start", "start",
              "start the service in the background (the installed one, else the one built with "
              "this console) and wait until it listens",
              Start);

}  // namespace tvctl
