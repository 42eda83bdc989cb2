#include "ChildProcess.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "Console.h"
#include "TestDevice.h"

void ChildProcess::Spawn(const std::string& root, std::vector<std::string> argv, int output) {
    m_pid = fork();
    if (m_pid != 0)
        return;
    if (!root.empty())
        setenv("TV_DEVICE_ROOT", root.c_str(), 1);
    setenv("TV_LOG_STDERR", "0", 1);
    if (output >= 0) {
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
    }
    std::vector<char*> words;
    for (auto& word : argv)
        words.push_back(&word[0]);
    words.push_back(nullptr);
    execv(words[0], words.data());
    _exit(127);
}

bool ChildProcess::Running() {
    if (m_pid <= 0)
        return false;
    int status = 0;
    pid_t done = waitpid(m_pid, &status, WNOHANG);
    if (done == 0)
        return true;
    if (done == m_pid)
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    m_pid = -1;
    return false;
}

bool ChildProcess::Wait(int timeoutMs) {
    return WaitUntil([&] { return !Running(); }, timeoutMs);
}

int ChildProcess::WaitExit(int timeoutMs) {
    return Wait(timeoutMs) ? m_status : -1;
}

int ChildProcess::Stop(int timeoutMs) {
    if (Running())
        kill(m_pid, SIGTERM);
    if (Wait(timeoutMs))
        return m_status;
    Kill();
    return HUNG;
}

void ChildProcess::Kill() {
    if (!Running())
        return;
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
    m_status = -1;
}

ServiceProcess::~ServiceProcess() {
    Kill();
    if (::testing::Test::HasFailure()) {
        fprintf(stderr, "---- platform log of %s ----\n%s---- end of log ----\n",
                m_device.Root().c_str(), m_device.Log().c_str());
    }
}

bool ServiceProcess::Start(int timeoutMs) {
    // The home reset manager's Init is the last step of the start-up sequence.
    const char* startedUp = "HomeResetManager.cpp: Init(";
    int logLinesBefore = m_device.LogCount(startedUp);
    Spawn(m_device.Root(), {BRENWICK_BIN});
    return WaitUntil(
               [&] {
                   return !Running() ||
                          (m_device.LogCount(startedUp) > logLinesBefore &&
                           m_device.Exists(std::string("run/") + SERVICE_ID + ".sock"));
               },
               timeoutMs) &&
           Running();
}

bool ServiceProcess::Settle() {
    const char* launched = "> Extra Data [LaunchReason] => Settle";
    const char* keyChanged = "> changedValue : none";
    for (int round = 0; round < 10; ++round) {
        int lines = m_device.LogCount(""), launches = m_device.LogCount(launched),
            keys = m_device.LogCount(keyChanged);
        // The launch first: a key the service wrote while handling earlier requests is then
        // already queued ahead of the marker key.
        if (LaunchService(m_device, "LaunchReason=Settle") != 0 ||
            !WaitUntil([&] { return m_device.LogCount(launched) > launches; }) ||
            m_device.Tvctl("set db/home/reset_status none") != 0 ||
            !WaitUntil([&] { return m_device.LogCount(keyChanged) > keys; }))
            return false;
        // Only the markers' own lines: the request, its caller and reason, the key's new value.
        if (m_device.LogCount("") == lines + 4)
            return true;
    }
    return false;
}

BackgroundTvctl::BackgroundTvctl(const TestDevice& device, const std::string& args) {
    m_outputPath = device.Path("log/.tvctl-output-XXXXXX");
    int output = mkstemp(&m_outputPath[0]);
    std::vector<std::string> argv{TVCTL_BIN};
    std::istringstream split(args);
    for (std::string word; split >> word;)
        argv.push_back(word);
    Spawn(device.Root(), argv, output);
    close(output);
}

BackgroundTvctl::~BackgroundTvctl() {
    Stop();
    unlink(m_outputPath.c_str());
}

std::string BackgroundTvctl::Output() const {
    return TestDevice::ReadFile(m_outputPath);
}
