// CPU cost of the camera simulator, measured on the simulator process: 64
// Motion JPEG streams at 25 pictures/s for 10 s, and 64 H.264 RTSP sessions
// at 2 Mbit/s for 10 s.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "platform/Event.h"
#include "platform/Process.h"
#include "platform/Socket.h"
#include "platform/System.h"

namespace {

// The HTTP port, and the RTSP port in rtspPort; 0 when it did not start.
uint16_t StartSimulator(kestrum::platform::ChildProcess& sim, const std::string& log, uint16_t* rtspPort = nullptr) {
  const kestrum::bench::SimPorts ports = kestrum::bench::StartSimulator(sim, {"--resolutions", "1280x720:25"}, log);
  if (rtspPort != nullptr) *rtspPort = static_cast<uint16_t>(ports.rtsp);
  return static_cast<uint16_t>(ports.http);
}

// Reads a stream until it ends or the stop event comes; the bytes read.
uint64_t ReadUntilStopped(kestrum::platform::TcpSocket& socket, kestrum::platform::NativeEvent& stop) {
  std::vector<char> buffer(1 << 16);
  uint64_t total = 0;
  size_t got = 0;
  while (socket.Receive(buffer.data(), buffer.size(), got, 5000, &stop) == kestrum::platform::IoStatus::Ok) {
    total += got;
  }
  return total;
}

void BM_CameraSim_64MjpegStreams(benchmark::State& state) {
  const int streams = 64;
  const int seconds = 10;
  for (auto _ : state) {
    kestrum::platform::ChildProcess sim;
    const uint16_t port = StartSimulator(sim, "/tmp/quellon-bench-sim.log");
    if (port == 0) {
      state.SkipWithError("camera-sim did not start");
      return;
    }
    kestrum::platform::NativeEvent stop(true);
    std::atomic<uint64_t> bytes{0};
    std::vector<std::thread> clients;
    // Warm-up: the picture loop is encoded once before measuring.
    {
      kestrum::platform::TcpSocket warm;
      warm.Connect(kestrum::platform::LoopbackAddress(), port, 5000, nullptr);
      warm.SendAll(std::string("GET /nph-mjpeg.cgi?fps=25 HTTP/1.1\r\nHost: x\r\n\r\n"), 5000, nullptr);
      char buffer[65536];
      size_t got = 0;
      warm.Receive(buffer, sizeof buffer, got, 30000, nullptr);
    }
    const double cpuBefore = sim.CpuSeconds();
    for (int i = 0; i < streams; ++i) {
      clients.emplace_back([&] {
        kestrum::platform::TcpSocket socket;
        if (socket.Connect(kestrum::platform::LoopbackAddress(), port, 5000, &stop) != kestrum::platform::IoStatus::Ok) {
          return;
        }
        socket.SendAll(std::string("GET /nph-mjpeg.cgi?fps=25 HTTP/1.1\r\nHost: x\r\n\r\n"), 5000, &stop);
        bytes += ReadUntilStopped(socket, stop);
      });
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpuAfter = sim.CpuSeconds();
    stop.Set();
    for (auto& client : clients) client.join();
    sim.Stop();
    const double cpu = cpuAfter - cpuBefore;
    state.counters["sim_cpu_s"] = cpu;
    state.counters["sim_cores"] = cpu / seconds;
    state.counters["cpu_ms_per_stream_s"] = cpu * 1000.0 / (streams * seconds);
    state.counters["MB_per_s"] = static_cast<double>(bytes.load()) / seconds / 1e6;
  }
}

// One request on an RTSP or HTTP connection; the response head, or empty.
std::string Exchange(kestrum::platform::TcpSocket& socket, const std::string& request) {
  if (socket.SendAll(request, 5000, nullptr) != kestrum::platform::IoStatus::Ok) return "";
  std::string reply;
  char ch;
  size_t got = 0;
  while (reply.find("\r\n\r\n") == std::string::npos &&
         socket.Receive(&ch, 1, got, 30000, nullptr) == kestrum::platform::IoStatus::Ok) {
    reply += ch;
  }
  return reply;
}

void BM_CameraSim_64RtspSessions(benchmark::State& state) {
  using kestrum::platform::LoopbackAddress;
  using kestrum::platform::TcpSocket;
  const int sessions = 64;
  const int seconds = 10;
  for (auto _ : state) {
    kestrum::platform::ChildProcess sim;
    uint16_t rtspPort = 0;
    const uint16_t httpPort = StartSimulator(sim, "/tmp/quellon-bench-sim-rtsp.log", &rtspPort);
    if (httpPort == 0) {
      state.SkipWithError("camera-sim did not start");
      return;
    }
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(rtspPort) + "/nph-h264.cgi";
    {
      // 2 Mbit/s, and the loop encoded before measuring.
      TcpSocket http;
      http.Connect(LoopbackAddress(), httpPort, 5000, nullptr);
      Exchange(http, "GET /admin.cgi?image&h264_cbr=1&h264_bitrate=2000 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
      TcpSocket warm;
      warm.Connect(LoopbackAddress(), rtspPort, 5000, nullptr);
      Exchange(warm, "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
    }
    kestrum::platform::NativeEvent stop(true);
    std::atomic<uint64_t> bytes{0};
    std::atomic<int> playing{0};
    std::vector<std::thread> clients;
    const double cpuBefore = sim.CpuSeconds();
    for (int i = 0; i < sessions; ++i) {
      clients.emplace_back([&] {
        TcpSocket socket;
        if (socket.Connect(LoopbackAddress(), rtspPort, 5000, &stop) != kestrum::platform::IoStatus::Ok) return;
        const std::string setup =
            Exchange(socket, "SETUP " + url + "/trackID=1 RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP/TCP;unicast\r\n\r\n");
        const size_t at = setup.find("Session: ");
        if (at == std::string::npos) return;
        const std::string id = setup.substr(at + 9, 8);
        if (Exchange(socket, "PLAY " + url + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + id + "\r\n\r\n").empty()) return;
        ++playing;
        bytes += ReadUntilStopped(socket, stop);
      });
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpuAfter = sim.CpuSeconds();
    stop.Set();
    for (auto& client : clients) client.join();
    sim.Stop();
    const double cpu = cpuAfter - cpuBefore;
    state.counters["sessions_playing"] = playing.load();
    state.counters["sim_cpu_s"] = cpu;
    state.counters["cpu_ms_per_session_s"] = cpu * 1000.0 / (sessions * seconds);
    state.counters["Mbit_per_session_s"] = static_cast<double>(bytes.load()) * 8 / seconds / sessions / 1e6;
  }
}

}  // namespace

BENCHMARK(BM_CameraSim_64RtspSessions)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_CameraSim_64MjpegStreams)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
