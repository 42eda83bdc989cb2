#include "ServiceProcess.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "Console.h"
#include "TestDevice.h"

ServiceProcess::ServiceProcess(const TestDevice& device) : m_device(device) {}

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
    m_pid = fork();
    if (m_pid == 0) {
        setenv("TV_DEVICE_ROOT", m_device.Root().c_str(), 1);
        setenv("TV_LOG_STDERR", "0", 1);
        execl(BRENWICK_BIN, BRENWICK_BIN, static_cast<char*>(nullptr));
        _exit(127);
    }
    if (m_pid < 0)
        return false;
    return WaitUntil(
               [&] {
                   return !Running() || (m_device.LogCount(startedUp) > logLinesBefore &&
                                         m_device.Exists("run/com.talvoro.tv.brenwick.sock"));
               },
               timeoutMs) &&
           Running();
}

bool ServiceProcess::Running() {
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

int ServiceProcess::WaitExit(int timeoutMs) {
    if (!WaitUntil([&] { return !Running(); }, timeoutMs))
        return -1;
    return m_status;
}

int ServiceProcess::Stop(int timeoutMs) {
    if (!Running())
        return m_status;
    kill(m_pid, SIGTERM);
    int status = WaitExit(timeoutMs);
    if (!Running())
        return status;
    Kill();
    return HUNG;
}

void ServiceProcess::Kill() {
    if (!Running())
        return;
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
    m_status = -1;
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
