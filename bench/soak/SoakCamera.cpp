#include "bench/soak/SoakCamera.h"

namespace kestrum {
namespace soak {

SoakCamera::SoakCamera(std::string kind, const host::DeviceValues& device, SoakClock::time_point start,
                       double gapSeconds)
    : kind_(std::move(kind)),
      name_(kind_ + " " + device.address + ":" + std::to_string(device.port)),
      port_(device.port),
      device_(device),
      start_(start),
      gapSeconds_(gapSeconds) {}

SoakCamera::~SoakCamera() { Stop(); }

bool SoakCamera::Start(ipcapture::IDebugInfoReceiver* log, ipcapture::IHostFrameAllocator* allocator,
                       ipcapture::IChannelSettings* channel, std::string& error) {
  driver_ = CreateIPCaptureEx3();
  if (driver_ == nullptr) {
    error = "no driver could be created";
    return false;
  }
  if (!driver_->Open(log, allocator, &device_) || driver_->GetVideoCapture() == nullptr) {
    error = "the driver did not open";
    Stop();
    return false;
  }
  if (!driver_->GetVideoCapture()->StartChannel(0, this, channel)) {
    error = "the channel did not start";
    Stop();
    return false;
  }
  return true;
}

void SoakCamera::Stop() {
  if (driver_ == nullptr) return;
  if (driver_->GetVideoCapture() != nullptr) driver_->GetVideoCapture()->StopChannel(0);
  driver_->Close();
  DeleteIPCaptureEx3(driver_);
  driver_ = nullptr;
}

double SoakCamera::Now() const { return std::chrono::duration<double>(SoakClock::now() - start_).count(); }

bool SoakCamera::ReceiveFrame(ipcapture::IHostFrame* frame) {
  if (frame == nullptr) return false;
  const double now = Now();
  std::lock_guard<std::mutex> lock(mutex_);
  if (last_ >= 0 && now - last_ > gapSeconds_) outages_.push_back({last_, now});
  last_ = now;
  ++pictures_;
  return true;
}

void SoakCamera::NotifySignalLost() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++signalLosses_;
}

uint64_t SoakCamera::Pictures() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pictures_;
}

uint32_t SoakCamera::SignalLosses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return signalLosses_;
}

void SoakCamera::Reserve(size_t outages) {
  std::lock_guard<std::mutex> lock(mutex_);
  outages_.reserve(outages);
}

std::vector<Span> SoakCamera::Outages(double now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Span> outages = outages_;
  if (last_ < 0) {
    outages.push_back({0, now});
  } else if (now - last_ > gapSeconds_) {
    outages.push_back({last_, now});
  }
  return outages;
}

}  // namespace soak
}  // namespace kestrum
