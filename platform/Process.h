// A child process started from a program file, for tools and test fixtures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrum {
namespace platform {

class ChildProcess {
 public:
  ChildProcess() = default;
  // Stops the child if it still runs.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // argv[0] is the program (searched in PATH when it has no slash). Standard
  // output and error go to outputPath when given, else they are inherited.
  bool Start(const std::vector<std::string>& argv, const std::string& outputPath = std::string());
  bool IsRunning();
  // Asks the child to end (SIGTERM), waits up to graceMs, then kills it.
  // Returns the exit status (128 + signal for a signalled child), -1 if none.
  int Stop(unsigned graceMs = 3000);
  // Waits up to ms for the child to end by itself; -2 while it still runs.
  int Wait(unsigned ms);
  int Pid() const { return pid_; }
  // User plus system CPU time of the child, in seconds: so far while it
  // runs, its total once it has ended; -1 when it cannot be read.
  double CpuSeconds() const;

 private:
  int pid_ = -1;
  // Where the system names a child by a handle too (Windows); -1 when none.
  [[maybe_unused]] intptr_t process_ = -1;
  int status_ = -1;
  double endedCpuSeconds_ = -1;
};

// For programs that run until told to stop: blocks SIGINT and SIGTERM in the
// calling thread and every thread it starts afterwards (call it first), then
// WaitForTerminationSignal returns the signal number once one arrives.
void BlockTerminationSignals();
int WaitForTerminationSignal();
// The same with a limit: 0 when no signal came within ms.
int WaitForTerminationSignal(uint32_t ms);

}  // namespace platform
}  // namespace kestrum
