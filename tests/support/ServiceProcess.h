// The real brenwick binary running on a test device.
#pragma once

#include <sys/types.h>

#include <string>

class TestDevice;

class ServiceProcess {
  public:
    explicit ServiceProcess(const TestDevice& device);
    // Kills the service if it still runs; prints the platform log when the test failed.
    ~ServiceProcess();

    // Starts brenwick and waits until its whole start-up sequence has run. False when it exited or
    // did not come up in time.
    bool Start(int timeoutMs = 5000);
    // SIGTERM, then waits; the exit status, -1 when a signal ended it, or HUNG when it did not
    // end in time and was killed.
    int Stop(int timeoutMs = 5000);
    static constexpr int HUNG = -2;
    // SIGKILL, and waits for the end.
    void Kill();
    // Waits for the process to end by itself (e.g. after a reboot); its exit status or -1.
    int WaitExit(int timeoutMs = 5000);
    bool Running();
    // Waits until the service has handled everything sent to it so far, and what that set off in
    // turn: a launch and a settings change that it only logs are handled after whatever was
    // queued before them. Rounds repeat until one adds nothing to the log but their own lines.
    // False when the service stopped answering.
    bool Settle();
    pid_t Pid() const { return m_pid; }

  private:
    const TestDevice& m_device;
    pid_t m_pid = -1;
    int m_status = -1;
};
