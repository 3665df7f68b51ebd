// A channel start that runs out of memory at any one of its allocations must
// still tell the host why it failed: a recorder at the edge of its address
// space otherwise shows a camera that stays dark without a word. Its own
// program: it replaces operator new.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "driver/QuellonIPCaptureDriver.h"
#include "platform/Socket.h"
#include "tests/support/RefusingAllocator.h"
#include "tools/hostlib/HostFrames.h"
#include "tools/hostlib/HostSettings.h"

using namespace kestrum;

namespace {

// Keeps the last warning or error in a fixed buffer: it is called on the
// thread whose allocations are being refused.
class Receiver final : public ipcapture::IDebugInfoReceiver {
 public:
  KESTRUM_DESTRUCTOR_SLOT(Receiver)
  void AddDebugInfo(CDebugInfoIf* info) override {
    if (info == nullptr || info->GetText() == nullptr || (info->GetLevel() != 1 && info->GetLevel() != 2)) return;
    std::snprintf(last_, sizeof last_, "%s", info->GetText());
    lines_.fetch_add(1);
  }
  int Lines() const { return lines_.load(); }
  const char* Last() const { return last_; }

 private:
  std::atomic<int> lines_{0};
  char last_[512] = {0};
};

class Sink final : public ipcapture::IHostFrameSink {
 public:
  KESTRUM_DESTRUCTOR_SLOT(Sink)
  bool ReceiveFrame(ipcapture::IHostFrame*) override { return true; }
  void NotifySignalLost() override {}
};

class ChannelStartMemoryShortage : public ::testing::TestWithParam<uint32_t> {};

// For each stream kind's channel (Motion JPEG, H.264), each allocation of the
// start fails in turn.
TEST_P(ChannelStartMemoryShortage, EveryRefusedAllocationIsToldToTheHost) {
  // A camera port that takes connections and never answers: the capture
  // thread, once started, only waits.
  platform::TcpSocket camera;
  ASSERT_TRUE(camera.Listen(platform::LoopbackAddress(), 0));
  host::DeviceValues device;
  device.address = "127.0.0.1";
  device.port = camera.LocalPort();
  device.modelName = "Quellon";
  device.streamKind = GetParam();
  device.parameters = {{2, "2.4.1"}, {3, std::to_string(camera.LocalPort())}, {4, "640x480"}};
  host::ChannelValues values;
  values.frameInterval = 200;
  values.quality = 60;
  values.width = 640;
  values.height = 480;
  host::HostChannelSettings channel(values);
  host::HeapFrameAllocator allocator;
  Sink sink;

  int refused = 0;
  bool startedOnce = false;
  for (long granted = 0; granted < 5000 && !startedOnce; ++granted) {
    Receiver receiver;
    host::HostDeviceSettings settings(device);
    CQuellonIPCaptureDriver driver;
    ASSERT_TRUE(driver.Open(&receiver, &allocator, &settings));
    ipcapture::IIPVideoCapture* capture = driver.GetVideoCapture();
    ASSERT_NE(nullptr, capture);
    const int before = receiver.Lines();

    kestrum::testing::RefuseAllocationsAfter(granted);
    const bool started = capture->StartChannel(0, &sink, &channel);
    kestrum::testing::RefuseAllocations(false);

    if (started) {
      startedOnce = true;
    } else {
      ++refused;
      EXPECT_GT(receiver.Lines(), before) << "the start failed at allocation " << granted + 1 << " without a word";
      const bool named = std::strstr(receiver.Last(), "memory") != nullptr;
      EXPECT_TRUE(named) << "allocation " << granted + 1 << ": " << receiver.Last();
    }
    capture->StopChannel(0);
    driver.Close();
  }
  EXPECT_TRUE(startedOnce) << "the channel never started: nothing was refused in the middle of a start";
  EXPECT_GT(refused, 3) << "too few refusals to have reached inside the channel's start";
}

INSTANTIATE_TEST_SUITE_P(StreamKinds, ChannelStartMemoryShortage, ::testing::Values(1u, 3u));

}  // namespace

// Open, each of its allocations refused in turn: it returns, and a driver
// left without a part it needs (or without its digital I/O) says so once the
// host's receiver is attached; memory back, the same driver opens whole.
TEST(OpenMemoryShortage, EveryRefusedAllocationLeavesADriverThatSaysWhy) {
  host::DeviceValues device;
  device.address = "127.0.0.1";
  device.port = 80;
  device.modelName = "Quellon";
  device.streamKind = 1;
  device.inputCount = 2;
  device.outputCount = 1;
  device.parameters = {{2, "2.4.1"}, {4, "640x480"}};
  host::HeapFrameAllocator allocator;
  int failedOpens = 0;
  int toldFailures = 0;
  bool wholeOnce = false;
  for (long granted = 0; granted < 2000 && !wholeOnce; ++granted) {
    Receiver receiver;
    host::HostDeviceSettings settings(device);
    CQuellonIPCaptureDriver driver;
    kestrum::testing::RefuseAllocationsAfter(granted);
    const bool opened = driver.Open(&receiver, &allocator, &settings);
    const bool withIO = driver.GetCaptureIO() != nullptr;
    kestrum::testing::RefuseAllocations(false);
    if (!opened) {
      ++failedOpens;
      if (receiver.Lines() > 0) {
        ++toldFailures;
        EXPECT_NE(nullptr, std::strstr(receiver.Last(), "memory")) << "allocation " << granted + 1 << ": " << receiver.Last();
      }
    } else if (!withIO) {
      EXPECT_NE(nullptr, std::strstr(receiver.Last(), "Digital I/O of device 127.0.0.1:80 is not served: not enough memory"))
          << "allocation " << granted + 1 << ": " << receiver.Last();
    } else {
      wholeOnce = true;
    }
    driver.Close();
    ASSERT_TRUE(driver.Open(&receiver, &allocator, &settings)) << "after allocation " << granted + 1;
    EXPECT_NE(nullptr, driver.GetVideoCapture());
    EXPECT_NE(nullptr, driver.GetCaptureIO());
    driver.Close();
  }
  EXPECT_TRUE(wholeOnce) << "Open never got all it needed";
  EXPECT_GT(failedOpens, 3) << "too few refusals to have reached inside Open";
  EXPECT_GT(toldFailures, 0) << "no failed Open ever told the host why";
}
