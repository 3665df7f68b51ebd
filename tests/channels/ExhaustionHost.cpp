// A host whose address space runs out, as a recorder's 32-bit process does
// with too many cameras: it records a few H.264 cameras, then, with only a
// little address space left, keeps adding cameras. The first must go on
// recording, every camera that cannot must say what ran out, and nothing
// may end the process.
//
//   exhaustion_host ADDRESS HTTP_PORT RTSP_PORT CAMERAS EXTRA_MB
//
// Cameras are taken at consecutive ports. Prints what happened; exit status
// 0 when it held, 1 when not, 77 when the address space cannot be limited.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "driver/host_interfaces.h"
#include "platform/AddressSpace.h"
#include "platform/Thread.h"
#include "tools/hostlib/HostFrames.h"
#include "tools/hostlib/HostSettings.h"

using namespace kestrum;

namespace {

constexpr size_t kFirst = 4;

// Counts pictures and keeps the driver's last warning or error; allocates
// nothing on the driver's threads.
class Camera final : public ipcapture::IHostFrameSink, public ipcapture::IDebugInfoReceiver {
 public:
  KESTRUM_DESTRUCTOR_SLOT(Camera)
  explicit Camera(const host::DeviceValues& values) : settings_(values) {}

  bool ReceiveFrame(ipcapture::IHostFrame*) override {
    ++pictures_;
    return true;
  }
  void NotifySignalLost() override {}
  void AddDebugInfo(CDebugInfoIf* info) override {
    if (info == nullptr || info->GetText() == nullptr || (info->GetLevel() != 1 && info->GetLevel() != 2)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    std::snprintf(trouble_, sizeof trouble_, "%s", info->GetText());
  }

  // False with the reason in Trouble().
  bool Start(ipcapture::IHostFrameAllocator* allocator, ipcapture::IChannelSettings* channel) {
    driver_ = CreateIPCaptureEx3();
    // A create export answers null only when the driver cannot be allocated.
    const char* failed = driver_ == nullptr                                            ? "no driver: not enough memory"
                         : !driver_->Open(this, allocator, &settings_)                 ? "the driver did not open"
                         : driver_->GetVideoCapture() == nullptr                       ? "no video capture"
                         : !driver_->GetVideoCapture()->StartChannel(0, this, channel) ? "the channel did not start"
                                                                                       : nullptr;
    if (failed == nullptr) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    if (trouble_[0] == '\0') std::snprintf(trouble_, sizeof trouble_, "%s (the driver said nothing)", failed);
    return false;
  }
  void Stop() {
    if (driver_ == nullptr) return;
    if (driver_->GetVideoCapture() != nullptr) driver_->GetVideoCapture()->StopChannel(0);
    driver_->Close();
    DeleteIPCaptureEx3(driver_);
    driver_ = nullptr;
  }
  uint64_t Pictures() const { return pictures_.load(); }
  std::string Trouble() {
    std::lock_guard<std::mutex> lock(mutex_);
    return trouble_;
  }

 private:
  host::HostDeviceSettings settings_;
  ipcapture::IIPCaptureDriverEx4* driver_ = nullptr;
  std::atomic<uint64_t> pictures_{0};
  std::mutex mutex_;
  char trouble_[1024] = {0};
};

bool WaitFor(const std::vector<std::unique_ptr<Camera>>& cameras, uint64_t pictures, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    bool all = true;
    for (const auto& camera : cameras) all = all && camera->Pictures() >= pictures;
    if (all) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: exhaustion_host ADDRESS HTTP_PORT RTSP_PORT CAMERAS EXTRA_MB\n");
    return 2;
  }
#if defined(KESTRUM_SANITIZED_STACK)
  // Their runtimes reserve and allocate on their own terms, and end the
  // process when an allocation fails: a limit would test them, not us.
  std::printf("skipped: a sanitizer build\n");
  return 77;
#endif
  platform::UseOneHeapArena();
  const int httpPort = std::atoi(argv[2]);
  const int rtspPort = std::atoi(argv[3]);
  const size_t count = static_cast<size_t>(std::atoi(argv[4]));
  const uint64_t extra = static_cast<uint64_t>(std::atoi(argv[5])) << 20;

  host::HeapFrameAllocator allocator;
  host::ChannelValues values;
  values.frameInterval = 200;
  values.quality = 60;
  values.width = 640;
  values.height = 480;
  host::HostChannelSettings channel(values);
  auto make = [&](size_t n) {
    host::DeviceValues device;
    device.address = argv[1];
    device.port = static_cast<uint16_t>(httpPort + static_cast<int>(n));
    device.streamKind = 3;
    device.modelName = "Quellon";
    device.parameters[1] = "";
    device.parameters[2] = "2.4.1";
    device.parameters[3] = std::to_string(rtspPort + static_cast<int>(n));
    device.parameters[4] = "640x480;1280x720";
    return std::make_unique<Camera>(device);
  };

  std::vector<std::unique_ptr<Camera>> first;
  for (size_t n = 0; n < kFirst; ++n) {
    first.push_back(make(n));
    first.back()->Start(&allocator, &channel);
  }
  if (!WaitFor(first, 10, 30)) {
    std::printf("the first cameras did not record before the address space was limited\n");
    return 1;
  }
  std::string reason;
  if (!platform::LimitAddressSpace(extra, reason)) {
    std::printf("skipped: %s\n", reason.c_str());
    for (auto& camera : first) camera->Stop();
    return 77;
  }
  std::printf("address space limited to %llu MiB more\n", static_cast<unsigned long long>(extra >> 20));
  std::fflush(stdout);

  // Made before the limit bites: the test's own bookkeeping must not fail.
  std::vector<std::unique_ptr<Camera>> more;
  more.reserve(count);
  for (size_t n = kFirst; n < kFirst + count; ++n) {
    try {
      more.push_back(make(n));
    } catch (const std::bad_alloc&) {
      break;
    }
  }
  size_t refused = 0;
  for (auto& camera : more) {
    if (!camera->Start(&allocator, &channel)) ++refused;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Each added camera records or says why not, within a few reconnect
  // periods; those that stay silent longer are counted.
  for (int tenth = 0; tenth < 300; ++tenth) {
    bool settled = tenth >= 50;
    for (size_t n = 0; settled && n < more.size(); ++n) {
      settled = more[n]->Pictures() > 0 || !more[n]->Trouble().empty();
    }
    if (settled) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  bool held = true;
  std::vector<uint64_t> before;
  for (const auto& camera : first) before.push_back(camera->Pictures());
  std::this_thread::sleep_for(std::chrono::seconds(4));
  for (size_t n = 0; n < first.size(); ++n) {
    const uint64_t now = first[n]->Pictures();
    std::printf("first camera %zu: %llu pictures, %llu in the last 4 s\n", n + 1, static_cast<unsigned long long>(now),
                static_cast<unsigned long long>(now - before[n]));
    held = held && now > before[n];
  }
  size_t recording = 0;
  size_t failed = 0;
  size_t unexplained = 0;
  for (size_t n = 0; n < more.size(); ++n) {
    if (more[n]->Pictures() > 0) {
      ++recording;
      continue;
    }
    ++failed;
    const std::string trouble = more[n]->Trouble();
    // This host's frame allocator refuses a frame only when its memory has
    // run out, so a driver that says the host gave none names it too.
    const bool named = trouble.find("memory") != std::string::npos || trouble.find("thread") != std::string::npos ||
                       trouble.find("the host gave no frame") != std::string::npos;
    if (!named) {
      ++unexplained;
      std::printf("camera %zu recorded nothing, and not for want of memory: %s\n", kFirst + n + 1,
                  trouble.empty() ? "(no reason given)" : trouble.c_str());
    } else if (failed <= 3) {
      std::printf("camera %zu: %s\n", kFirst + n + 1, trouble.c_str());
    }
  }
  std::printf(
      "added cameras: %zu recording, %zu not (%zu refused at start, %zu without a reason naming what ran out)\n",
      recording, failed, refused, unexplained);
  if (failed == 0) std::printf("the address space did not run out: nothing was tested\n");
  held = held && failed > 0 && unexplained == 0;
  for (auto& camera : more) camera->Stop();
  for (auto& camera : first) camera->Stop();
  std::printf("%s\n", held ? "held" : "did not hold");
  return held ? 0 : 1;
}
