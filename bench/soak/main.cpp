// soak: records many cameras of every stream kind and RTP mode in this one
// process from a running camera-sim while the simulator's faults rotate, and
// watches what the process holds (memory in the system's and the heap's
// view, threads, descriptors) for growth. Short by default; hours when asked.
//
//   soak --address A --http-port FIRST --rtsp-port FIRST [--user U --password W]
//        [--per-kind N] [--minutes M] [--warmup-minutes W] [--fault-every S]
//        [--fault-seconds S] [--sample-seconds S] [--fps F] [--seed N] [--out DIR]
//        [--hold-at-exit]
//
// The simulator's cameras are taken in order: N Motion JPEG, then N H.264 over
// UDP, N over TCP and N interleaved in the RTSP connection (the RTP modes are
// written to the configuration file beside this program, which must be this
// run's own). Exit status 0 when memory grew by less than 1 % (or 256 KiB)
// from the warm-up point to the end, threads and descriptors came back to
// their values at that point, every camera recorded in the last minute, and
// no camera paused outside its faults' windows. --hold-at-exit ends the
// program with the drivers still running, so that a heap profiler (heaptrack)
// reports all they hold at the end, by allocation site, as not freed.
#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/soak/FaultRotation.h"
#include "bench/soak/SoakCamera.h"
#include "bench/soak/SoakReport.h"
#include "platform/Process.h"
#include "platform/ProcessStats.h"
#include "platform/System.h"
#include "tools/capture-host/Arguments.h"
#include "tools/hostlib/HostFrames.h"
#include "tools/hostlib/HostSettings.h"

using namespace kestrum;
using namespace kestrum::soak;

namespace {

constexpr const char* kConfigurationMark = "<!-- soak run -->";

struct Options {
  host::DeviceValues device;
  uint32_t httpPort = 0;
  uint32_t rtspPort = 0;
  uint32_t perKind = 8;
  uint32_t minutes = 3;
  uint32_t warmupMinutes = 1;
  uint32_t faultEvery = 20;
  uint32_t faultSeconds = 8;
  uint32_t sampleSeconds = 5;
  uint32_t fps = 10;
  uint32_t seed = 1;
  std::string out = "soak";
  bool holdAtExit = false;
};

bool Parse(int argc, char** argv, Options& o, std::string& error) {
  host::Arguments a;
  if (!a.Parse(std::vector<std::string>(argv + 1, argv + argc),
               {"--address", "--http-port", "--rtsp-port", "--user", "--password", "--per-kind", "--minutes",
                "--warmup-minutes", "--fault-every", "--fault-seconds", "--sample-seconds", "--fps", "--seed", "--out"},
               {"--hold-at-exit"}, error)) {
    return false;
  }
  if (!a.Has("--http-port") || !a.Has("--rtsp-port")) {
    error = "--http-port and --rtsp-port (the simulator's first camera) are required";
    return false;
  }
  if (!a.Number("--http-port", 1, 65535, o.httpPort, error) || !a.Number("--rtsp-port", 1, 65535, o.rtspPort, error) ||
      !a.Number("--per-kind", 1, 64, o.perKind, error) || !a.Number("--minutes", 1, 100000, o.minutes, error) ||
      !a.Number("--warmup-minutes", 0, 100000, o.warmupMinutes, error) ||
      !a.Number("--fault-every", 0, 3600, o.faultEvery, error) ||
      !a.Number("--fault-seconds", 1, 3600, o.faultSeconds, error) ||
      !a.Number("--sample-seconds", 1, 3600, o.sampleSeconds, error) || !a.Number("--fps", 1, 30, o.fps, error) ||
      !a.Number("--seed", 0, 0xFFFFFFFFu, o.seed, error)) {
    return false;
  }
  if (o.warmupMinutes >= o.minutes) {
    error = "--warmup-minutes must be less than --minutes";
    return false;
  }
  if (o.faultEvery != 0 && o.faultSeconds >= o.faultEvery) {
    error = "--fault-seconds must be less than --fault-every";
    return false;
  }
  o.device.address = a.Text("--address", "127.0.0.1");
  o.device.userName = a.Text("--user");
  o.device.password = a.Text("--password");
  o.device.modelName = "Quellon";
  o.device.parameters[1] = "";
  o.device.parameters[2] = "2.4.1";
  o.device.parameters[4] = "640x480;1280x720";
  o.out = a.Text("--out", o.out);
  o.holdAtExit = a.Has("--hold-at-exit");
  return true;
}

// The driver's lines, each with the second of the run it came at.
class TimedLog final : public ipcapture::IDebugInfoReceiver {
 public:
  KESTRUM_DESTRUCTOR_SLOT(TimedLog)
  TimedLog(FILE* out, SoakClock::time_point start) : out_(out), start_(start) {}
  void AddDebugInfo(CDebugInfoIf* info) override {
    if (info == nullptr || out_ == nullptr) return;
    const double at = std::chrono::duration<double>(SoakClock::now() - start_).count();
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(out_, "%9.1f [%u] %s\n", at, info->GetLevel(), info->GetText() != nullptr ? info->GetText() : "");
  }
  void Say(double at, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(out_, "%9.1f soak: %s\n", at, text.c_str());
    std::fflush(out_);
  }

 private:
  FILE* out_;
  SoakClock::time_point start_;
  std::mutex mutex_;
};

std::string HostConfigurationPath() {
  const std::string exe = platform::ExecutablePath(511);
  const size_t separator = exe.rfind(platform::kPathSeparator);
  return (separator == std::string::npos ? std::string() : exe.substr(0, separator + 1)) + "QuellonIPCapture.xml";
}

// Writes each H.264 camera's RTP mode; false when the file is someone else's.
bool WriteConfiguration(const std::string& path, const std::vector<std::unique_ptr<SoakCamera>>& cameras,
                        std::string& error) {
  std::ifstream existing(path);
  std::string first;
  if (existing && std::getline(existing, first) && first != kConfigurationMark) {
    error = path + " is there and is not a soak run's: run a copy of this program in a folder of its own";
    return false;
  }
  std::ofstream file(path, std::ios::trunc);
  file << kConfigurationMark << "\n<Configuration>\n";
  for (const auto& camera : cameras) {
    const std::string mode = camera->Kind() == "udp"   ? "rtpoverudp"
                             : camera->Kind() == "tcp" ? "rtpovertcp"
                                                       : "rtpoverrtsp";
    if (camera->Kind() == "mjpeg") continue;
    file << "  <Device address=\"127.0.0.1\" port=\"" << camera->HttpPort() << "\"><RTPMode>" << mode
         << "</RTPMode></Device>\n";
  }
  file << "</Configuration>\n";
  if (!file.flush()) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

double Seconds(SoakClock::time_point start) { return std::chrono::duration<double>(SoakClock::now() - start).count(); }

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string error;
  if (!Parse(argc, argv, o, error)) {
    std::fprintf(stderr, "soak: %s\n", error.c_str());
    return 2;
  }
  platform::BlockTerminationSignals();
  curl_global_init(CURL_GLOBAL_DEFAULT);
  platform::RaiseOpenFileLimit();
  const std::string csvPath = o.out + "/samples.csv";
  FILE* logFile = std::fopen((o.out + "/driver.log").c_str(), "w");
  std::ofstream csv(csvPath);
  if (logFile == nullptr || !csv) {
    std::fprintf(stderr, "soak: cannot write into %s (make the folder first)\n", o.out.c_str());
    return 2;
  }
  const SoakClock::time_point start = SoakClock::now();
  TimedLog log(logFile, start);

  // A pause of more than five pictures, and of more than a second, is an outage.
  const double gap = std::max(1.0, 5.0 / o.fps);
  std::vector<std::unique_ptr<SoakCamera>> cameras;
  const char* kinds[] = {"mjpeg", "udp", "tcp", "interleaved"};
  for (uint32_t k = 0; k < 4; ++k) {
    for (uint32_t i = 0; i < o.perKind; ++i) {
      const uint32_t n = k * o.perKind + i;
      host::DeviceValues device = o.device;
      device.port = static_cast<uint16_t>(o.httpPort + n);
      device.streamKind = k == 0 ? 1 : 3;
      device.parameters[3] = std::to_string(o.rtspPort + n);
      cameras.push_back(std::make_unique<SoakCamera>(kinds[k], device, start, gap));
    }
  }
  const std::string configuration = HostConfigurationPath();
  if (!WriteConfiguration(configuration, cameras, error)) {
    std::fprintf(stderr, "soak: %s\n", error.c_str());
    return 2;
  }

  host::HeapFrameAllocator allocator;
  host::ChannelValues channelValues;
  channelValues.frameInterval = static_cast<uint16_t>(std::lround(1000.0 / o.fps));
  channelValues.quality = 60;
  channelValues.width = 640;
  channelValues.height = 480;
  host::HostChannelSettings channel(channelValues);
  std::vector<SoakCamera*> started;
  for (auto& camera : cameras) {
    if (camera->Start(&log, &allocator, &channel, error)) {
      started.push_back(camera.get());
    } else {
      std::fprintf(stderr, "soak: %s: %s\n", camera->Name().c_str(), error.c_str());
    }
  }
  std::printf(
      "soak: %zu of %zu cameras (%u of each kind, 640x480 at %u pictures/s) for %u minutes, "
      "a fault every %u s for %u s; reference point at minute %u; samples in %s\n",
      started.size(), cameras.size(), o.perKind, o.fps, o.minutes, o.faultEvery, o.faultSeconds, o.warmupMinutes,
      csvPath.c_str());
  csv << SampleHeader() << "\n";

  // No fault for a while before the reference point and at the end, so that
  // both are taken with every camera streaming.
  const double settle = o.faultSeconds + 20.0;
  const double reference = std::max(settle, o.warmupMinutes * 60.0);
  const double end = o.minutes * 60.0;
  FaultRotation faults(o.device.address, o.faultEvery, o.faultSeconds, o.seed);
  Sample first;
  Sample last;
  bool referenceTaken = false;
  double nextSample = 0;
  int signal = 0;
  // Each camera's pictures at every sample: who went silent in the last
  // minute. Reserved whole now, and written once, so that the program's own
  // bookkeeping grows neither the heap nor the resident memory it measures
  // (untouched reserved pages become resident as samples fill them: 4 KiB
  // every 16 samples of 32 cameras). The same for the faults' and outages'
  // lists.
  const size_t samples = static_cast<size_t>(o.minutes) * 60 / o.sampleSeconds + 16;
  std::vector<double> countTimes;
  std::vector<uint64_t> counts;
  countTimes.resize(samples);
  countTimes.clear();
  counts.resize(samples * started.size());
  counts.clear();
  const size_t faultsAtMost = (o.faultEvery != 0 ? static_cast<size_t>(o.minutes) * 60 / o.faultEvery : 0) + 16;
  faults.Reserve(started, faultsAtMost);
  for (SoakCamera* camera : started) camera->Reserve(faultsAtMost);
  for (;;) {
    signal = platform::WaitForTerminationSignal(250);
    const double now = Seconds(start);
    std::vector<std::string> told;
    const bool quiet = (now > reference - settle && now < reference + 1) || now > end - settle;
    if (o.faultEvery != 0 && !quiet) {
      faults.Tick(now, started, told);
    } else {
      faults.Tick(now, {}, told);  // ends a fault still on, starts none
    }
    for (const std::string& line : told) log.Say(now, line);
    const bool takeReference = !referenceTaken && now >= reference;
    if (now >= nextSample || takeReference || now >= end || signal != 0) {
      nextSample += o.sampleSeconds;
      Sample sample;
      sample.seconds = now;
      sample.stats = platform::ReadProcessStats();
      for (const SoakCamera* camera : started) sample.pictures += camera->Pictures();
      sample.faults = faults.Count();
      if (countTimes.size() < samples) {
        countTimes.push_back(now);
        for (const SoakCamera* camera : started) counts.push_back(camera->Pictures());
      }
      csv << SampleLine(sample) << "\n";
      csv.flush();
      std::printf(
          "%7.0f s  resident %7llu KiB  heap %7llu KiB  threads %4u  descriptors %4u  pictures %9llu  "
          "faults %u\n",
          now, static_cast<unsigned long long>(sample.stats.residentBytes / 1024),
          static_cast<unsigned long long>(sample.stats.heapInUseBytes / 1024), sample.stats.threads,
          sample.stats.descriptors, static_cast<unsigned long long>(sample.pictures), sample.faults);
      std::fflush(stdout);
      if (takeReference) {
        first = sample;
        referenceTaken = true;
      }
      last = sample;
    }
    if (now >= end || signal != 0) break;
  }
  const double stopped = Seconds(start);
  std::vector<std::string> told;
  faults.Clear(told);

  // Before the drivers go: which cameras went silent, which paused unexplained.
  std::vector<std::string> silent;
  size_t minuteAgo = 0;
  while (minuteAgo + 1 < countTimes.size() && countTimes[minuteAgo + 1] <= stopped - 60) ++minuteAgo;
  for (size_t i = 0; i < started.size(); ++i) {
    if (countTimes.empty() || started[i]->Pictures() == counts[minuteAgo * started.size() + i]) {
      silent.push_back(started[i]->Name());
    }
  }
  const double grace = 15.0;
  const std::vector<Unexplained> unexplained = UnexplainedOutages(started, faults.Windows(), stopped, grace, settle);
  if (o.holdAtExit) {
    std::printf("soak: ending with the drivers running (--hold-at-exit)\n");
    std::fflush(stdout);
    std::remove(configuration.c_str());
    std::_Exit(0);
  }
  for (auto& camera : cameras) camera->Stop();
  const platform::ProcessStats after = platform::ReadProcessStats();

  const Growth resident = GrowthBetween(first.stats.residentBytes, last.stats.residentBytes);
  const Growth heap = GrowthBetween(first.stats.heapInUseBytes, last.stats.heapInUseBytes);
  std::printf("\nsoak: %.0f s, %u faults, %llu pictures\n", stopped, faults.Count(),
              static_cast<unsigned long long>(last.pictures));
  std::printf("resident: %llu KiB at %.0f s, %llu KiB at %.0f s: %+lld KiB (%+.2f %%)\n",
              static_cast<unsigned long long>(first.stats.residentBytes / 1024), first.seconds,
              static_cast<unsigned long long>(last.stats.residentBytes / 1024), last.seconds,
              static_cast<long long>(resident.bytes / 1024), resident.percent);
  std::printf("heap in use: %llu KiB, %llu KiB: %+lld KiB (%+.2f %%)\n",
              static_cast<unsigned long long>(first.stats.heapInUseBytes / 1024),
              static_cast<unsigned long long>(last.stats.heapInUseBytes / 1024),
              static_cast<long long>(heap.bytes / 1024), heap.percent);
  std::printf("threads: %u, %u (%u with every driver deleted)\n", first.stats.threads, last.stats.threads,
              after.threads);
  std::printf("descriptors: %u, %u (%u with every driver deleted)\n", first.stats.descriptors, last.stats.descriptors,
              after.descriptors);
  std::printf("cameras silent in the last minute: %zu\n", silent.size());
  for (const std::string& name : silent) std::printf("  %s\n", name.c_str());
  std::printf("outages outside the faults' windows (%.0f s after each): %zu\n", grace, unexplained.size());
  for (size_t i = 0; i < unexplained.size() && i < 30; ++i) {
    std::printf("  %s: %.1f s to %.1f s\n", unexplained[i].camera.c_str(), unexplained[i].outage.from,
                unexplained[i].outage.to);
  }
  std::remove(configuration.c_str());
  std::fclose(logFile);
  curl_global_cleanup();

  const bool held = resident.Bounded() && heap.Bounded() && first.stats.threads == last.stats.threads &&
                    first.stats.descriptors == last.stats.descriptors && silent.empty() && unexplained.empty() &&
                    started.size() == cameras.size();
  std::printf("%s\n", held ? "soak: held" : "soak: did not hold");
  return held ? 0 : 1;
}
