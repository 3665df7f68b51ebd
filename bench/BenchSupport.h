// Helpers of the benchmarks that run the project's programs as processes.
#pragma once

#include <algorithm>
#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
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

// Pictures in capture-host indexes: the lines of each but its header. A
// missing index counts 0.
inline uint64_t IndexedPictures(const std::vector<std::string>& indexes) {
  uint64_t pictures = 0;
  for (const std::string& path : indexes) {
    const std::string index = ReadFile(path);
    const auto lines = static_cast<uint64_t>(std::count(index.begin(), index.end(), '\n'));
    if (lines > 0) pictures += lines - 1;
  }
  return pictures;
}

// The first channel's index of each camera: of one capture-host run per
// camera writing to dir/cam0 .. cam(n-1), or of one run recording the
// cameras at ports firstPort .. firstPort+n-1 (dir/portP).
inline std::vector<std::string> PerProcessIndexes(const std::string& dir, int cameras) {
  std::vector<std::string> paths;
  for (int i = 0; i < cameras; ++i) paths.push_back(dir + "/cam" + std::to_string(i) + "/channel1.csv");
  return paths;
}
inline std::vector<std::string> SharedProcessIndexes(const std::string& dir, int firstPort, int cameras) {
  std::vector<std::string> paths;
  for (int i = 0; i < cameras; ++i) {
    paths.push_back(dir + "/port" + std::to_string(firstPort + i) + "/channel1.csv");
  }
  return paths;
}

struct SimPorts {
  int http = 0;  // 0: the simulator did not start
  int rtsp = 0;
};

// Starts camera-sim with these arguments and waits for its first camera's
// ports (consecutive for the others).
inline SimPorts StartSimulator(platform::ChildProcess& sim, const std::vector<std::string>& args,
                               const std::string& log) {
  std::vector<std::string> argv = {Beside("camera-sim")};
  argv.insert(argv.end(), args.begin(), args.end());
  SimPorts ports;
  if (!sim.Start(argv, log)) return ports;
  const std::regex line("camera 1: http://127\\.0\\.0\\.1:([0-9]+)/ rtsp://127\\.0\\.0\\.1:([0-9]+)/");
  for (int i = 0; i < 200; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    const std::string text = ReadFile(log);
    std::smatch match;
    if (std::regex_search(text, match, line)) {
      ports.http = std::stoi(match[1]);
      ports.rtsp = std::stoi(match[2]);
      return ports;
    }
  }
  return ports;
}

}  // namespace bench
}  // namespace kestrum
