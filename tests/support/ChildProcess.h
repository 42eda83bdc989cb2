// Processes a test starts on its device: the real service, and tvctl commands that run beside the
// test as other parts of the television would (the store service playing or serving).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class TestDevice;

class ChildProcess {
  public:
    ChildProcess() = default;
    // Kills it if it still runs.
    ~ChildProcess() { Kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Running();
    // Waits for it to end by itself; false when it still runs after `timeoutMs`.
    bool Wait(int timeoutMs);
    // Waits for it to end by itself; its exit status, or -1 when a signal ended it or it runs on.
    int WaitExit(int timeoutMs = 5000);
    // SIGTERM, then waits; the exit status, -1 when a signal ended it, or HUNG when it did not
    // end in time and was killed.
    int Stop(int timeoutMs = 5000);
    static constexpr int HUNG = -2;
    // SIGKILL, and waits for the end.
    void Kill();
    pid_t Pid() const { return m_pid; }

  protected:
    // Runs ARGV (the program's path first) on the device ROOT ("": none), without the platform
    // log's copy on standard error; standard output and error go to OUTPUT unless it is -1.
    void Spawn(const std::string& root, std::vector<std::string> argv, int output = -1);

  private:
    pid_t m_pid = -1;
    int m_status = -1;
};

// The real brenwick binary.
class ServiceProcess : public ChildProcess {
  public:
    explicit ServiceProcess(const TestDevice& device) : m_device(device) {}
    // Kills the service if it still runs; prints the platform log when the test failed.
    ~ServiceProcess();

    // Starts brenwick and waits until its whole start-up sequence has run. False when it exited or
    // did not come up in time.
    bool Start(int timeoutMs = 5000);
    // Waits until the service has handled everything sent to it so far, and what that set off in
    // turn: a launch and a settings change that it only logs are handled after whatever was
    // queued before them. Rounds repeat until one adds nothing to the log but their own lines.
    // False when the service stopped answering.
    bool Settle();

  private:
    const TestDevice& m_device;
};

// tvctl with ARGS, split at blanks, with its standard output and error kept for reading.
class BackgroundTvctl : public ChildProcess {
  public:
    BackgroundTvctl(const TestDevice& device, const std::string& args);
    // Stops it (SIGTERM, then SIGKILL) if it still runs, and removes its output file.
    ~BackgroundTvctl();
    std::string Output() const;

  private:
    std::string m_outputPath;
};
