// Helpers of the benchmarks that run the project's programs as processes.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "platform/System.h"

namespace kestrum {
namespace bench {

// A program built beside the benchmark (build/bin).
inline std::string Beside(const char* name) {
  const std::string exe = platform::ExecutablePath(4096);
  return exe.substr(0, exe.rfind('/') + 1) + name;
}

inline std::string ReadFile(const std::string& path) {
  std::string text;
  platform::ReadWholeFile(path, text, 64u << 20);
  return text;
}

// Runs the commands at once, each for at most limitMs, and returns their CPU
// seconds summed.
inline double RunAll(const std::vector<std::vector<std::string>>& commands, const std::string& logDir,
                     unsigned limitMs) {
  std::vector<std::unique_ptr<platform::ChildProcess>> children;
  for (size_t i = 0; i < commands.size(); ++i) {
    children.push_back(std::make_unique<platform::ChildProcess>());
    children.back()->Start(commands[i], logDir + "/run" + std::to_string(i) + ".log");
  }
  double cpu = 0;
  for (auto& child : children) {
    child->Wait(limitMs);
    cpu += std::max(0.0, child->CpuSeconds());
  }
  return cpu;
}

}  // namespace bench
}  // namespace kestrum
