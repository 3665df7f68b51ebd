#include "tools/camera-sim/Simulator.h"

#include <algorithm>
#include <system_error>

namespace kestrum {
namespace sim {

namespace {
constexpr size_t kStopThreads = 32;
}  // namespace

Simulator::Simulator(const SimOptions& options) : options_(options) {
  for (uint32_t i = 0; i < options_.cameras; ++i) {
    auto camera = std::make_unique<Camera>();
    camera->state = std::make_unique<CameraState>(i + 1, options_.resolutions, options_.inputs, options_.relays);
    camera->http = std::make_unique<HttpFrontEnd>(*camera->state, pictures_, options_.auth);
    camera->rtsp = std::make_unique<RtspFrontEnd>(*camera->state, streams_, options_.auth, options_.rtspTimeout);
    cameras_.push_back(std::move(camera));
  }
}

Simulator::~Simulator() { Stop(); }

bool Simulator::ListenConsecutive(uint16_t base, size_t count, std::vector<platform::TcpSocket>& sockets) {
  if (count == 0 || count > 60000) return false;
  auto listenFrom = [&](uint32_t first, uint32_t& failedAt) {
    sockets.clear();
    sockets.resize(count);
    for (size_t i = 0; i < count; ++i) {
      if (!sockets[i].Listen(platform::LoopbackAddress(), static_cast<uint16_t>(first + i))) {
        failedAt = static_cast<uint32_t>(first + i);
        return false;
      }
    }
    return true;
  };
  uint32_t failedAt = 0;
  if (base != 0) {
    if (base + count - 1 <= 65535 && listenFrom(base, failedAt)) return true;
    sockets.clear();
    return false;
  }
  // A run the system picks first: it is free of other servers. It lies in
  // the range clients' ports come from, though, and after a large run the
  // clients' closed connections hold ports there for a minute, scattered,
  // so few long runs are whole.
  for (int attempt = 0; attempt < 10; ++attempt) {
    platform::TcpSocket probe;
    if (!probe.Listen(platform::LoopbackAddress(), 0)) return false;
    const uint32_t first = probe.LocalPort();
    probe.Close();
    if (first + count - 1 <= 65535 && listenFrom(first, failedAt)) return true;
  }
  // Then below that range (Linux's starts at 32768, Windows' at 49152): each
  // busy port moves the run past it.
  constexpr uint32_t kLowest = 10000;
  constexpr uint32_t kClientPortsFrom = 32768;
  for (uint32_t first = kLowest; first + count - 1 < kClientPortsFrom; first = failedAt + 1) {
    if (listenFrom(first, failedAt)) return true;
  }
  sockets.clear();
  return false;
}

bool Simulator::Start(std::string& error) {
  std::vector<platform::TcpSocket> http;
  std::vector<platform::TcpSocket> rtsp;
  if (!ListenConsecutive(options_.httpPort, cameras_.size(), http)) {
    error = options_.httpPort != 0 ? "HTTP port " + std::to_string(options_.httpPort) + " (or one after it) is busy"
                                   : "no free HTTP ports";
    return false;
  }
  if (!ListenConsecutive(options_.rtspPort, cameras_.size(), rtsp)) {
    error = options_.rtspPort != 0 ? "RTSP port " + std::to_string(options_.rtspPort) + " (or one after it) is busy"
                                   : "no free RTSP ports";
    return false;
  }
  for (size_t i = 0; i < cameras_.size(); ++i) {
    Camera& camera = *cameras_[i];
    const uint16_t rtspPort = rtsp[i].LocalPort();
    if (!camera.rtsp->Start(std::move(rtsp[i]))) {
      error = "cannot serve RTSP on port " + std::to_string(rtspPort);
      Stop();
      return false;
    }
    camera.http->SetRtspPort(rtspPort);
    const uint16_t port = http[i].LocalPort();
    if (!camera.http->Start(http[i].ReleaseHandle(), port)) {
      error = "cannot serve HTTP on port " + std::to_string(port);
      Stop();
      return false;
    }
  }
  stop_.Reset();
  if (options_.toggleInputsSeconds > 0 && options_.inputs > 0) toggler_ = std::thread([this] { ToggleLoop(); });
  return true;
}

void Simulator::ToggleLoop() {
  while (!stop_.Wait(options_.toggleInputsSeconds * 1000)) {
    for (auto& camera : cameras_) camera->state->ToggleInput(1);
  }
}

void Simulator::Stop() {
  stop_.Set();
  if (toggler_.joinable()) toggler_.join();
  // Each camera's stop waits for its connections' threads; side by side,
  // hundreds of cameras stop in about the time of one.
  std::atomic<size_t> next{0};
  auto stopSome = [this, &next] {
    for (size_t i = next++; i < cameras_.size(); i = next++) {
      cameras_[i]->http->Stop();
      cameras_[i]->rtsp->Stop();
    }
  };
  std::vector<std::thread> stoppers;
  const size_t helpers = std::min<size_t>(kStopThreads, cameras_.size() / 4);
  for (size_t i = 0; i < helpers; ++i) {
    try {
      stoppers.emplace_back(stopSome);
    } catch (const std::system_error&) {
      break;  // the others (and this thread) do the rest
    }
  }
  stopSome();
  for (std::thread& stopper : stoppers) stopper.join();
}

}  // namespace sim
}  // namespace kestrum
