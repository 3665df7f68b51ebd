// A set of simulated cameras on consecutive loopback ports.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "platform/Socket.h"
#include "tools/camera-sim/CameraState.h"
#include "tools/camera-sim/H264Encoder.h"
#include "tools/camera-sim/HttpFrontEnd.h"
#include "tools/camera-sim/PictureFactory.h"
#include "tools/camera-sim/RtspFrontEnd.h"
#include "tools/camera-sim/SimOptions.h"

namespace kestrum {
namespace sim {

class Simulator {
 public:
  explicit Simulator(const SimOptions& options);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Binds every port and starts serving; false with a reason (a busy port).
  bool Start(std::string& error);
  void Stop();

  size_t CameraCount() const { return cameras_.size(); }
  uint16_t HttpPort(size_t camera) const { return cameras_[camera]->http->Port(); }
  uint16_t RtspPort(size_t camera) const { return cameras_[camera]->rtsp->Port(); }
  RtspFrontEnd& Rtsp(size_t camera) { return *cameras_[camera]->rtsp; }
  CameraState& State(size_t camera) { return *cameras_[camera]->state; }

 private:
  struct Camera {
    std::unique_ptr<CameraState> state;
    std::unique_ptr<HttpFrontEnd> http;
    std::unique_ptr<RtspFrontEnd> rtsp;
  };

  // Listens on count consecutive loopback ports from base (0: anywhere free).
  static bool ListenConsecutive(uint16_t base, size_t count, std::vector<platform::TcpSocket>& sockets);
  void ToggleLoop();

  SimOptions options_;
  PictureFactory pictures_;
  H264StreamCache streams_;
  std::vector<std::unique_ptr<Camera>> cameras_;
  platform::NativeEvent stop_{true};
  std::thread toggler_;
};

}  // namespace sim
}  // namespace kestrum
