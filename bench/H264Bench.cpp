// H.264: access units through the depacketizer on a 1080p stream beside a
// plain copy of the same payloads; and whole-process CPU of capture-host
// recording 16 simulated H.264 cameras at 4 Mbit/s for 20 s over UDP and
// over interleaved TCP, beside ffmpeg pulling the same 16 streams.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "driver/IDriver.h"
#include "parsers/H264RTPMediaParser.h"
#include "parsers/MediaParserClient.h"
#include "bench/BenchSupport.h"
#include "platform/Process.h"
#include "platform/Socket.h"
#include "platform/System.h"
#include "rtsp/RTPPacket.h"
#include "tools/camera-sim/H264Encoder.h"
#include "tests/support/MinimalDriver.h"
#include "tools/hostlib/HostFrames.h"

namespace {

using kestrum::bench::Beside;
using kestrum::bench::ReadFile;
using kestrum::bench::RunAll;

using namespace kestrum;

class CountingClient : public IMediaParserClient {
 public:
  bool OnFrame(ipcapture::IHostFrame*) override {
    ++frames;
    return true;
  }
  std::pair<uint32_t, uint32_t> GetFrameSize() override { return {1920, 1080}; }
  std::string GetSourceName() override { return "QuellonIPCapture"; }
  void GetFrameTime(uint32_t, ipcapture::SYSTEM_TIME&) override {}
  uint64_t frames = 0;
};

// The 1080p loop at 4 Mbit/s as RTP packets, encoded once.
const std::vector<CRTPPacket>& Packets1080p(uint64_t& payloadBytes, size_t& units) {
  static uint64_t bytes = 0;
  static size_t count = 0;
  static const std::vector<CRTPPacket> packets = [] {
    sim::EncoderSettings settings;
    settings.width = 1920;
    settings.height = 1080;
    settings.bitrate = 4000;
    std::vector<CRTPPacket> out;
    auto loop = sim::EncodeLoop(settings);
    if (!loop) return out;
    auto packetized = sim::Packetize(*loop, sim::PacketOptions());
    uint32_t timestamp = 0;
    for (const auto& unit : packetized->accessUnits) {
      timestamp += 3600;
      for (const sim::RtpPayload& payload : unit) {
        CRTPPacket packet;
        packet.Marker = payload.marker ? 1 : 0;
        packet.Timestamp = timestamp;
        packet.Payload = payload.bytes;
        bytes += payload.bytes.size();
        out.push_back(std::move(packet));
      }
    }
    count = packetized->accessUnits.size();
    return out;
  }();
  payloadBytes = bytes;
  units = count;
  return packets;
}

void BM_H264Depacketizer_1080p(benchmark::State& state) {
  uint64_t bytes = 0;
  size_t units = 0;
  std::vector<CRTPPacket> packets = Packets1080p(bytes, units);
  if (packets.empty()) {
    state.SkipWithError("encoder failed");
    return;
  }
  testing::MinimalDriver driver;
  CountingClient client;
  CH264RTPMediaParser parser(&driver);
  parser.SetClient(&client);
  uint16_t sequence = 0;
  for (auto _ : state) {
    for (CRTPPacket& packet : packets) {
      packet.SequenceNumber = sequence++;
      parser.ProcessPacket(packet);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes * state.iterations()));
  state.counters["access_units_per_s"] =
      benchmark::Counter(static_cast<double>(client.frames), benchmark::Counter::kIsRate);
  state.counters["units_per_loop"] = static_cast<double>(units);
}

void BM_PlainCopy_1080pPayloads(benchmark::State& state) {
  uint64_t bytes = 0;
  size_t units = 0;
  const std::vector<CRTPPacket>& packets = Packets1080p(bytes, units);
  std::vector<uint8_t> unit;
  unit.reserve(1 << 20);
  uint64_t emitted = 0;
  for (auto _ : state) {
    for (const CRTPPacket& packet : packets) {
      unit.insert(unit.end(), packet.Payload.begin(), packet.Payload.end());
      if (packet.Marker != 0) {
        // A host frame gets its own copy, as the depacketizer's does.
        std::vector<uint8_t> frame(unit);
        benchmark::DoNotOptimize(frame.data());
        unit.clear();
        ++emitted;
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes * state.iterations()));
  state.counters["access_units_per_s"] = benchmark::Counter(static_cast<double>(emitted), benchmark::Counter::kIsRate);
}

constexpr int kCameras = 16;
constexpr int kSeconds = 20;

// The body of a GET to the simulator (empty when it does not answer).
std::string HttpGet(uint16_t port, const std::string& path) {
  platform::TcpSocket socket;
  if (socket.Connect(platform::LoopbackAddress(), port, 5000, nullptr) != platform::IoStatus::Ok) return "";
  socket.SendAll("GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 5000, nullptr);
  std::string response;
  char buffer[4096];
  size_t got = 0;
  while (socket.Receive(buffer, sizeof buffer, got, 30000, nullptr) == platform::IoStatus::Ok && got > 0) {
    response.append(buffer, got);
  }
  const size_t body = response.find("\r\n\r\n");
  return body == std::string::npos ? "" : response.substr(body + 4);
}

// Access units the cameras at ports first .. first+n-1 sent in their latest
// RTSP session each.
uint64_t PicturesSent(int first, int cameras) {
  const std::regex sent("\"pictures_sent\":([0-9]+)");
  uint64_t total = 0;
  for (int i = 0; i < cameras; ++i) {
    const std::string state = HttpGet(static_cast<uint16_t>(first + i), "/sim/state");
    uint64_t last = 0;
    for (std::sregex_iterator it(state.begin(), state.end(), sent), end; it != end; ++it) {
      last = std::stoull((*it)[1]);
    }
    total += last;
  }
  return total;
}

// state.range(0): 0 RTP over UDP, 1 interleaved in the RTSP connection.
void BM_Record16H264Cameras_CaptureHostVsFfmpeg(benchmark::State& state) {
  const bool tcp = state.range(0) == 1;
  const std::string dir = "/tmp/quellon-bench-h264";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  // capture-host beside its configuration file: the transport, and no
  // settings exchange, so the cameras keep their 4 Mbit/s.
  const std::string host = dir + "/capture-host";
  std::filesystem::copy_file(Beside("capture-host"), host);
  std::ofstream(dir + "/QuellonIPCapture.xml") << "<Configuration><Device><RTPMode>"
                                               << (tcp ? "rtpoverrtsp" : "rtpoverudp")
                                               << "</RTPMode><UpdateSettings>false</UpdateSettings></Device>"
                                                  "</Configuration>";
  for (auto _ : state) {
    platform::ChildProcess sim;
    const bench::SimPorts ports = bench::StartSimulator(
        sim, {"--cameras", std::to_string(kCameras), "--resolutions", "1280x720:25"}, dir + "/sim.log");
    if (ports.http == 0) {
      state.SkipWithError("camera-sim did not start");
      return;
    }
    const int httpBase = ports.http;
    const int rtspBase = ports.rtsp;
    for (int i = 0; i < kCameras; ++i) {
      HttpGet(static_cast<uint16_t>(httpBase + i), "/admin.cgi?image&resolution=0&h264_cbr=1&h264_bitrate=4000");
    }
    // Encode the loop before anything is measured (one setting, shared).
    platform::ChildProcess warm;
    warm.Start({"/usr/bin/ffprobe", "-v", "quiet", "rtsp://127.0.0.1:" + std::to_string(rtspBase) + "/nph-h264.cgi"},
               dir + "/warm.log");
    warm.Wait(60000);

    const std::vector<std::string> recordArgs = {"--library", Beside("../lib/libQuellonIPCapture.so"), "--kind",
                                                 "h264", "--seconds", std::to_string(kSeconds), "--fps", "25",
                                                 "--width", "1280", "--height", "720", "--resolutions", "1280x720"};
    // One process recording the 16 cameras, as a recorder server does; 16
    // single-camera processes beside it.
    std::vector<std::string> shared = {
        host, "record", "--address", "127.0.0.1",
        "--port", std::to_string(httpBase) + "-" + std::to_string(httpBase + kCameras - 1),
        "--rtsp-port", std::to_string(rtspBase) + "-" + std::to_string(rtspBase + kCameras - 1),
        "--out", dir + "/shared"};
    shared.insert(shared.end(), recordArgs.begin(), recordArgs.end());
    std::vector<std::vector<std::string>> perCamera, ffmpegs;
    for (int i = 0; i < kCameras; ++i) {
      perCamera.push_back({host, "record", "--address", "127.0.0.1", "--port", std::to_string(httpBase + i),
                           "--rtsp-port", std::to_string(rtspBase + i), "--out", dir + "/cam" + std::to_string(i)});
      perCamera.back().insert(perCamera.back().end(), recordArgs.begin(), recordArgs.end());
      ffmpegs.push_back({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", tcp ? "tcp" : "udp", "-i",
                         "rtsp://127.0.0.1:" + std::to_string(rtspBase + i) + "/nph-h264.cgi", "-t",
                         std::to_string(kSeconds), "-c", "copy", "-f", "null", "-"});
    }
    // Delivery is counted against what the cameras sent: a session over UDP
    // starts after the driver's 2 s check that its port pair is quiet.
    const double hostCpu = RunAll({shared}, dir, (kSeconds + 60) * 1000);
    const uint64_t pictures =
        bench::IndexedPictures(bench::SharedProcessIndexes(dir + "/shared", httpBase, kCameras));
    const uint64_t sent = PicturesSent(httpBase, kCameras);
    const double perCameraCpu = RunAll(perCamera, dir, (kSeconds + 60) * 1000);
    const uint64_t perCameraPictures = bench::IndexedPictures(bench::PerProcessIndexes(dir, kCameras));
    const uint64_t perCameraSent = PicturesSent(httpBase, kCameras);
    const double ffmpegCpu = std::filesystem::exists("/usr/bin/ffmpeg") ? RunAll(ffmpegs, dir, (kSeconds + 60) * 1000) : 0;
    sim.Stop();
    state.counters["capture_host_cpu_s"] = hostCpu;
    state.counters["ffmpeg_cpu_s"] = ffmpegCpu;
    state.counters["ratio"] = ffmpegCpu > 0 ? hostCpu / ffmpegCpu : 0;
    state.counters["pictures_per_camera_s"] = static_cast<double>(pictures) / kCameras / kSeconds;
    state.counters["units_recorded_of_sent"] = sent > 0 ? static_cast<double>(pictures) / sent : 0;
    state.counters["process_per_camera_cpu_s"] = perCameraCpu;
    state.counters["process_per_camera_units_recorded_of_sent"] =
        perCameraSent > 0 ? static_cast<double>(perCameraPictures) / perCameraSent : 0;
    state.counters["process_per_camera_ratio"] = ffmpegCpu > 0 ? perCameraCpu / ffmpegCpu : 0;
    state.counters["process_per_camera_pictures_per_camera_s"] =
        static_cast<double>(perCameraPictures) / kCameras / kSeconds;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace

BENCHMARK(BM_H264Depacketizer_1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainCopy_1080pPayloads)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Record16H264Cameras_CaptureHostVsFfmpeg)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
