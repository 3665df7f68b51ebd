// Whole-process CPU of capture-host recording 16 simulated cameras at 25
// pictures/s for 20 s, beside ffmpeg pulling the same 16 streams (one ffmpeg
// per stream, as its command line takes one). capture-host records the 16
// cameras in one process, as a recorder server loads the driver once; the
// same cameras recorded by 16 single-camera processes are reported beside.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "platform/Process.h"
#include "platform/System.h"

namespace {

using kestrum::bench::Beside;
using kestrum::bench::ReadFile;
using kestrum::bench::RunAll;

constexpr int kCameras = 16;
constexpr int kSeconds = 20;

void BM_Record16Cameras_CaptureHostVsFfmpeg(benchmark::State& state) {
  const std::string dir = "/tmp/quellon-bench-record";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  for (auto _ : state) {
    kestrum::platform::ChildProcess sim;
    const kestrum::bench::SimPorts ports = kestrum::bench::StartSimulator(
        sim, {"--cameras", std::to_string(kCameras), "--resolutions", "1280x720:25"}, dir + "/sim.log");
    if (ports.http == 0) {
      state.SkipWithError("camera-sim did not start");
      return;
    }
    const int base = ports.http;
    // Encode the picture loop before anything is measured.
    kestrum::platform::ChildProcess warm;
    warm.Start({"/usr/bin/ffmpeg", "-nostdin", "-v", "quiet", "-f", "mpjpeg", "-i",
                "http://127.0.0.1:" + std::to_string(base) + "/nph-mjpeg.cgi?fps=25", "-frames:v", "2", "-f", "null",
                "-"},
               dir + "/warm.log");
    warm.Wait(60000);

    const std::vector<std::string> recordArgs = {"--kind", "mjpeg", "--seconds", std::to_string(kSeconds), "--fps",
                                                 "25", "--width", "1280", "--height", "720", "--resolutions",
                                                 "1280x720"};
    std::vector<std::string> shared = {Beside("capture-host"), "record", "--address", "127.0.0.1", "--port",
                                       std::to_string(base) + "-" + std::to_string(base + kCameras - 1), "--out",
                                       dir + "/shared"};
    shared.insert(shared.end(), recordArgs.begin(), recordArgs.end());
    std::vector<std::vector<std::string>> perCamera, ffmpegs, ffmpegWriters;
    for (int i = 0; i < kCameras; ++i) {
      const std::string port = std::to_string(base + i);
      perCamera.push_back({Beside("capture-host"), "record", "--address", "127.0.0.1", "--port", port, "--out",
                           dir + "/cam" + std::to_string(i)});
      perCamera.back().insert(perCamera.back().end(), recordArgs.begin(), recordArgs.end());
      ffmpegs.push_back({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-f", "mpjpeg", "-i",
                         "http://127.0.0.1:" + port + "/nph-mjpeg.cgi?fps=25", "-t", std::to_string(kSeconds), "-c",
                         "copy", "-f", "null", "-"});
      // Like for like: ffmpeg writing the pictures to a file, as capture-host does.
      ffmpegWriters.push_back({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "mpjpeg", "-i",
                               "http://127.0.0.1:" + port + "/nph-mjpeg.cgi?fps=25", "-t", std::to_string(kSeconds),
                               "-c", "copy", "-f", "mjpeg", dir + "/ffmpeg" + std::to_string(i) + ".mjpeg"});
    }
    const double hostCpu = RunAll({shared}, dir, (kSeconds + 60) * 1000);
    const uint64_t pictures =
        kestrum::bench::IndexedPictures(kestrum::bench::SharedProcessIndexes(dir + "/shared", base, kCameras));
    const double perCameraCpu = RunAll(perCamera, dir, (kSeconds + 60) * 1000);
    const uint64_t perCameraPictures =
        kestrum::bench::IndexedPictures(kestrum::bench::PerProcessIndexes(dir, kCameras));
    const bool haveFfmpeg = std::filesystem::exists("/usr/bin/ffmpeg");
    const double ffmpegCpu = haveFfmpeg ? RunAll(ffmpegs, dir, (kSeconds + 60) * 1000) : 0;
    const double ffmpegFileCpu = haveFfmpeg ? RunAll(ffmpegWriters, dir, (kSeconds + 60) * 1000) : 0;
    sim.Stop();
    state.counters["capture_host_cpu_s"] = hostCpu;
    state.counters["ffmpeg_cpu_s"] = ffmpegCpu;
    state.counters["ratio"] = ffmpegCpu > 0 ? hostCpu / ffmpegCpu : 0;
    state.counters["ffmpeg_to_file_cpu_s"] = ffmpegFileCpu;
    state.counters["ratio_to_file"] = ffmpegFileCpu > 0 ? hostCpu / ffmpegFileCpu : 0;
    state.counters["pictures_per_camera_s"] = static_cast<double>(pictures) / kCameras / kSeconds;
    state.counters["process_per_camera_cpu_s"] = perCameraCpu;
    state.counters["process_per_camera_ratio"] = ffmpegCpu > 0 ? perCameraCpu / ffmpegCpu : 0;
    state.counters["process_per_camera_pictures_per_camera_s"] =
        static_cast<double>(perCameraPictures) / kCameras / kSeconds;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace

BENCHMARK(BM_Record16Cameras_CaptureHostVsFfmpeg)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
