#include "BackgroundTvctl.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "TestDevice.h"

BackgroundTvctl::BackgroundTvctl(const TestDevice& device, const std::string& args) {
    m_outputPath = device.Path("log/.tvctl-output-XXXXXX");
    int out = mkstemp(&m_outputPath[0]);
    std::vector<std::string> words{TVCTL_BIN, "--root", device.Root()};
    std::istringstream split(args);
    for (std::string word; split >> word;)
        words.push_back(word);
    m_pid = fork();
    if (m_pid == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        std::vector<char*> argv;
        for (auto& word : words)
            argv.push_back(&word[0]);
        argv.push_back(nullptr);
        execv(TVCTL_BIN, argv.data());
        _exit(127);
    }
    if (out >= 0)
        close(out);
}

BackgroundTvctl::~BackgroundTvctl() {
    Stop();
    unlink(m_outputPath.c_str());
}

bool BackgroundTvctl::Running() {
    if (m_pid <= 0)
        return false;
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == 0)
        return true;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    m_pid = -1;
    return false;
}

bool BackgroundTvctl::Wait(int timeoutMs) {
    return WaitUntil([&] { return !Running(); }, timeoutMs);
}

void BackgroundTvctl::Stop(int timeoutMs) {
    if (!Running())
        return;
    kill(m_pid, SIGTERM);
    if (Wait(timeoutMs))
        return;
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

std::string BackgroundTvctl::Output() const {
    std::ifstream in(m_outputPath);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
