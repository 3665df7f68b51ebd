// One camera of a soak run: its driver and a frame sink that counts the
// pictures and remembers every pause between two of them longer than a
// limit (the outages, to be told from the faults that explain them).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/host_interfaces.h"
#include "tools/hostlib/HostSettings.h"

namespace kestrum {
namespace soak {

using SoakClock = std::chrono::steady_clock;

// Seconds of the run, from its start.
struct Span {
  double from = 0;
  double to = 0;
};

class SoakCamera final : public ipcapture::IHostFrameSink {
 public:
  KESTRUM_DESTRUCTOR_SLOT(SoakCamera)
  // kind names the stream: "mjpeg", "udp", "tcp" or "interleaved".
  SoakCamera(std::string kind, const host::DeviceValues& device, SoakClock::time_point start, double gapSeconds);
  ~SoakCamera();
  SoakCamera(const SoakCamera&) = delete;
  SoakCamera& operator=(const SoakCamera&) = delete;

  // Creates the driver and starts channel 1; false with a reason.
  bool Start(ipcapture::IDebugInfoReceiver* log, ipcapture::IHostFrameAllocator* allocator,
             ipcapture::IChannelSettings* channel, std::string& error);
  // Stops the channel and deletes the driver.
  void Stop();

  bool ReceiveFrame(ipcapture::IHostFrame* frame) override;
  void NotifySignalLost() override;

  const std::string& Kind() const { return kind_; }
  const std::string& Name() const { return name_; }
  uint16_t HttpPort() const { return port_; }
  uint64_t Pictures() const;
  uint32_t SignalLosses() const;
  // The outages so far; one still going on ends at now.
  std::vector<Span> Outages(double now) const;
  // Room for this many outages, taken now: the list grows on the driver's
  // thread, and the program must not count its own bookkeeping as the
  // driver's growth.
  void Reserve(size_t outages);

 private:
  double Now() const;

  const std::string kind_;
  const std::string name_;
  const uint16_t port_;
  host::HostDeviceSettings device_;
  const SoakClock::time_point start_;
  const double gapSeconds_;
  ipcapture::IIPCaptureDriverEx4* driver_ = nullptr;
  mutable std::mutex mutex_;
  uint64_t pictures_ = 0;
  uint32_t signalLosses_ = 0;
  double last_ = -1;  // the last picture's arrival, -1 before the first
  std::vector<Span> outages_;
};

}  // namespace soak
}  // namespace kestrum
