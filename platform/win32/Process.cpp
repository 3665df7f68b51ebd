#include "platform/Process.h"

#include <windows.h>

namespace kestrum {
namespace platform {

namespace {

HANDLE Handle(intptr_t process) { return reinterpret_cast<HANDLE>(process); }

// One argument quoted as the C runtime's command-line parser reads it back.
std::string Quote(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
    } else if (c == '"') {
      quoted.append(backslashes * 2 + 1, '\\');
      quoted += '"';
      backslashes = 0;
      continue;
    } else {
      backslashes = 0;
    }
    quoted += c;
  }
  quoted.append(backslashes, '\\');
  quoted += '"';
  return quoted;
}

double Seconds(const FILETIME& time) {
  return static_cast<double>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
}

HANDLE g_termination = CreateEventW(nullptr, TRUE, FALSE, nullptr);

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
    SetEvent(g_termination);
    return TRUE;
  }
  return FALSE;
}

}  // namespace

ChildProcess::~ChildProcess() { Stop(); }

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& outputPath) {
  if (pid_ > 0 || argv.empty()) return false;
  std::string commandLine;
  for (const std::string& argument : argv) commandLine += (commandLine.empty() ? "" : " ") + Quote(argument);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  HANDLE output = INVALID_HANDLE_VALUE;
  if (!outputPath.empty()) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    output = CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) return false;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = output;
  }
  PROCESS_INFORMATION info{};
  BOOL started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, output != INVALID_HANDLE_VALUE, 0,
                                nullptr, nullptr, &startup, &info);
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  if (!started) return false;
  CloseHandle(info.hThread);
  process_ = reinterpret_cast<intptr_t>(info.hProcess);
  pid_ = static_cast<int>(info.dwProcessId);
  status_ = -1;
  endedCpuSeconds_ = -1;
  return true;
}

bool ChildProcess::IsRunning() { return Wait(0) == -2; }

int ChildProcess::Wait(unsigned ms) {
  if (pid_ <= 0) return status_;
  if (WaitForSingleObject(Handle(process_), ms) == WAIT_TIMEOUT) return -2;
  DWORD code = 0;
  GetExitCodeProcess(Handle(process_), &code);
  endedCpuSeconds_ = CpuSeconds();
  status_ = static_cast<int>(code & 0xFF);
  CloseHandle(Handle(process_));
  process_ = -1;
  pid_ = -1;
  return status_;
}

double ChildProcess::CpuSeconds() const {
  if (pid_ <= 0) return endedCpuSeconds_;
  FILETIME created, ended, kernel, user;
  if (!GetProcessTimes(Handle(process_), &created, &ended, &kernel, &user)) return -1;
  return Seconds(kernel) + Seconds(user);
}

int ChildProcess::Stop(unsigned graceMs) {
  if (pid_ <= 0) return status_;
  // Windows has no polite request a console-less child must honour; the
  // grace is given to a child that is ending anyway.
  int status = Wait(graceMs > 100 ? 100 : graceMs);
  if (status == -2) {
    TerminateProcess(Handle(process_), 1);
    status = Wait(5000);
  }
  return status;
}

void BlockTerminationSignals() { SetConsoleCtrlHandler(&OnConsoleControl, TRUE); }

int WaitForTerminationSignal() {
  WaitForSingleObject(g_termination, INFINITE);
  return 2;  // as SIGINT
}

int WaitForTerminationSignal(uint32_t ms) {
  return WaitForSingleObject(g_termination, ms) == WAIT_OBJECT_0 ? 2 : 0;
}

}  // namespace platform
}  // namespace kestrum
