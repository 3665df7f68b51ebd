#include "platform/Process.h"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/Clock.h"

extern char** environ;

namespace kestrum {
namespace platform {

ChildProcess::~ChildProcess() { Stop(); }

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& outputPath) {
  if (pid_ > 0 || argv.empty()) return false;
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!outputPath.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  pid_ = pid;
  status_ = -1;
  endedCpuSeconds_ = -1;
  return true;
}

bool ChildProcess::IsRunning() { return Wait(0) == -2; }

int ChildProcess::Wait(unsigned ms) {
  if (pid_ <= 0) return status_;
  const uint64_t start = MonotonicMilliseconds();
  for (;;) {
    int status = 0;
    rusage usage{};
    pid_t done = wait4(pid_, &status, WNOHANG, &usage);
    if (done == pid_) {
      endedCpuSeconds_ = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
      return status_;
    }
    if (done < 0) {
      pid_ = -1;
      return status_;
    }
    if (MonotonicMilliseconds() - start >= ms) return -2;
    usleep(5000);
  }
}

double ChildProcess::CpuSeconds() const {
  if (pid_ <= 0) return endedCpuSeconds_;
  std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command name, which is in parentheses and may hold blanks.
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int ChildProcess::Stop(unsigned graceMs) {
  if (pid_ <= 0) return status_;
  kill(pid_, SIGTERM);
  int status = Wait(graceMs);
  if (status == -2) {
    kill(pid_, SIGKILL);
    status = Wait(5000);
  }
  return status;
}

void BlockTerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitForTerminationSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  int signal = 0;
  while (sigwait(&set, &signal) != 0) {
  }
  return signal;
}

int WaitForTerminationSignal(uint32_t ms) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  timespec limit{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  for (;;) {
    int signal = sigtimedwait(&set, nullptr, &limit);
    if (signal > 0) return signal;
    if (errno != EINTR) return 0;
  }
}

}  // namespace platform
}  // namespace kestrum
