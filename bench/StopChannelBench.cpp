// How long a well-behaved host's StopChannel takes: a channel recording from
// the simulator (Motion JPEG over HTTP, H.264 over RTP/UDP and interleaved in
// RTSP) is stopped as soon as it has delivered a few pictures, many times;
// the median and the longest stop are reported. Each round's start and the
// wait for pictures are not timed.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "driver/QuellonIPCaptureDriver.h"
#include "tools/camera-sim/Simulator.h"
#include "tools/hostlib/HostFrames.h"
#include "tools/hostlib/HostLog.h"
#include "tools/hostlib/HostSettings.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace kestrum;

class CountingSink final : public ipcapture::IHostFrameSink {
 public:
  KESTRUM_DESTRUCTOR_SLOT(CountingSink)
  bool ReceiveFrame(ipcapture::IHostFrame*) override {
    ++frames;
    return true;
  }
  void NotifySignalLost() override {}
  std::atomic<uint64_t> frames{0};
};

// kind: 0 Motion JPEG, 1 H.264 over RTP/UDP, 2 H.264 interleaved in RTSP.
void BM_StopChannel_WellBehavedHost(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  sim::SimOptions options;
  options.cameras = 2;
  sim::Simulator simulator(options);
  std::string error;
  if (!simulator.Start(error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  // The driver reads its file beside the program: camera 1 interleaved.
  {
    std::ofstream file(bench::Beside("QuellonIPCapture.xml"));
    file << "<Configuration>\n  <Device address=\"127.0.0.1\" port=\"" << simulator.HttpPort(1)
         << "\"><RTPMode>rtpoverrtsp</RTPMode></Device>\n</Configuration>\n";
  }
  const size_t camera = kind == 2 ? 1 : 0;
  host::DeviceValues device;
  device.address = "127.0.0.1";
  device.port = simulator.HttpPort(camera);
  device.userName = "admin";
  device.password = "admin";
  device.modelName = "Quellon";
  device.streamKind = kind == 0 ? 1 : 3;
  device.parameters = {{1, "(none)"}, {2, "2.4.1"}, {3, std::to_string(simulator.RtspPort(camera))}, {4, "320x240"}};
  host::HostDeviceSettings settings(device);
  host::HostChannelSettings channel(host::ChannelValues{40, 60, 320, 240, false});
  host::HostLogReceiver log;
  host::HeapFrameAllocator allocator;
  CQuellonIPCaptureDriver driver;
  if (!driver.Open(&log, &allocator, &settings)) {
    state.SkipWithError("the driver did not open");
    return;
  }
  ipcapture::IIPVideoCapture* capture = driver.GetVideoCapture();
  std::vector<double> stops;
  for (auto _ : state) {
    CountingSink sink;
    capture->StartChannel(0, &sink, &channel);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (sink.frames.load() < 3 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (sink.frames.load() < 3) {
      const std::vector<host::LogLine> lines = log.Lines();
      const std::string why = "no pictures; last line: " + (lines.empty() ? std::string() : lines.back().text);
      state.SkipWithError(why.c_str());
      break;
    }
    const auto start = Clock::now();
    capture->StopChannel(0);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    stops.push_back(seconds * 1000);
  }
  driver.Close();
  simulator.Stop();
  if (stops.empty()) return;
  std::sort(stops.begin(), stops.end());
  state.counters["median_ms"] = stops[stops.size() / 2];
  state.counters["longest_ms"] = stops.back();
}

BENCHMARK(BM_StopChannel_WellBehavedHost)->Arg(0)->Arg(1)->Arg(2)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
