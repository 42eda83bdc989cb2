// A tvctl command that runs beside the test, as another part of the television would (the store
// service playing or serving), with its standard output and error kept for reading.
#pragma once

#include <sys/types.h>

#include <string>

class TestDevice;

class BackgroundTvctl {
  public:
    // Starts tvctl with ARGS, split at blanks, on the device.
    BackgroundTvctl(const TestDevice& device, const std::string& args);
    // Stops it (SIGTERM, then SIGKILL) if it still runs, and removes its output file.
    ~BackgroundTvctl();
    BackgroundTvctl(const BackgroundTvctl&) = delete;
    BackgroundTvctl& operator=(const BackgroundTvctl&) = delete;

    bool Running();
    pid_t Pid() const { return m_pid; }
    // Waits for it to end by itself; false when it still runs after `timeoutMs`.
    bool Wait(int timeoutMs);
    // Asks it to end (SIGTERM) and waits; SIGKILL when it does not end in time.
    void Stop(int timeoutMs = 5000);
    // Its exit status, -1 while it runs or when a signal ended it.
    int Status() const { return m_status; }
    std::string Output() const;

  private:
    pid_t m_pid = -1;
    int m_status = -1;
    std::string m_outputPath;
};
