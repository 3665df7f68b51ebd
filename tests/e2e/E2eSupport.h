// Runs camera-sim and capture-host as separate programs, as a user would.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Process.h"
#include "tests/support/CurlClient.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestUtil.h"

namespace kestrum {
namespace testing {

inline std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// camera-sim as a child process.
class SimProcess {
 public:
  bool Start(const std::vector<std::string>& options, const std::string& log) {
    std::vector<std::string> argv = {CAMERA_SIM_PATH};
    argv.insert(argv.end(), options.begin(), options.end());
    if (!process_.Start(argv, log)) return false;
    const std::regex line("camera 1: http://127\\.0\\.0\\.1:([0-9]+)/ rtsp://127\\.0\\.0\\.1:([0-9]+)/");
    for (int i = 0; i < 400; ++i) {
      std::smatch match;
      const std::string text = ReadText(log);
      if (std::regex_search(text, match, line)) {
        httpPort = std::stoi(match[1]);
        rtspPort = std::stoi(match[2]);
        return true;
      }
      if (!process_.IsRunning()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
  }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(httpPort) + path; }
  nlohmann::json State() const { return nlohmann::json::parse(CurlGet(Url("/sim/state")).body); }
  bool Fault(const std::string& name, uint32_t value) const {
    return CurlGet(Url("/sim/fault?name=" + name + "&value=" + std::to_string(value))).status == 200;
  }
  std::vector<std::string> RequestPaths() const {
    const nlohmann::json state = State();
    std::vector<std::string> paths;
    for (const auto& request : state["requests"]) paths.push_back(request["path"]);
    return paths;
  }
  int Stop() { return process_.Stop(5000); }

  int httpPort = 0;
  int rtspPort = 0;

 private:
  platform::ChildProcess process_;
};

// One run of capture-host; returns its exit status.
inline int RunCaptureHost(const std::vector<std::string>& args, const std::string& log,
                          const std::string& program = CAPTURE_HOST_PATH, unsigned timeoutMs = 120000) {
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  platform::ChildProcess host;
  if (!host.Start(argv, log)) return -1;
  int status = host.Wait(timeoutMs);
  if (status == -2) status = host.Stop(1000);
  return status;
}

inline bool HaveFfmpeg() { return std::ifstream("/usr/bin/ffprobe").good() && std::ifstream("/usr/bin/ffmpeg").good(); }

// ffprobe's answer for the first video stream: "codec,width,height,frames".
inline std::string Probe(const std::string& file, const std::string& format, const std::string& log) {
  platform::ChildProcess probe;
  if (!probe.Start({"/usr/bin/ffprobe", "-v", "error", "-f", format, "-count_frames", "-select_streams", "v:0",
                    "-show_entries", "stream=codec_name,width,height,nb_read_frames", "-of", "csv=p=0", file},
                   log)) {
    return "";
  }
  probe.Wait(120000);
  std::string text = ReadText(log);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// Decodes the whole file; returns ffmpeg's error output (empty when clean).
inline std::string DecodeErrors(const std::string& file, const std::string& format, const std::string& log) {
  platform::ChildProcess ffmpeg;
  if (!ffmpeg.Start({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-f", format, "-i", file, "-f", "null", "-"}, log)) {
    return "cannot start ffmpeg";
  }
  const int status = ffmpeg.Wait(120000);
  std::string text = ReadText(log);
  if (status != 0 && text.empty()) text = "ffmpeg exit status " + std::to_string(status);
  return text;
}

}  // namespace testing
}  // namespace kestrum
