#include "tools/capture-host/RecordCommand.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "platform/Process.h"
#include "platform/System.h"
#include "tools/capture-host/Arguments.h"
#include "tools/capture-host/DriverLibrary.h"
#include "tools/capture-host/RecordingSink.h"
#include "tools/hostlib/HostFrames.h"
#include "tools/hostlib/HostLog.h"
#include "tools/hostlib/HostSettings.h"

namespace kestrum {
namespace host {

namespace {

struct RecordOptions {
  DeviceValues device;
  uint32_t channels = 1;
  uint32_t seconds = 10;  // 0: until Ctrl-C
  uint32_t fps = 10;
  uint32_t width = 640;
  uint32_t height = 480;
  uint32_t quality = 60;
  std::string out = "recordings";
  std::string extension = "mjpeg";
};

bool ParseRecord(const std::vector<std::string>& args, RecordOptions& o, std::string& error) {
  Arguments a;
  if (!a.Parse(args,
               {"--address", "--port", "--user", "--password", "--kind", "--channels", "--seconds", "--fps", "--width",
                "--height", "--quality", "--resolutions", "--rtsp-port", "--out", "--model", "--firmware"},
               {}, error)) {
    return false;
  }
  if (!a.Has("--address") || a.Text("--address").empty()) {
    error = "--address is required (the camera's host name or IP address)";
    return false;
  }
  uint32_t port = 80;
  uint32_t rtspPort = 554;
  if (!a.Number("--port", 1, 65535, port, error) || !a.Number("--channels", 1, 64, o.channels, error) ||
      !a.Number("--seconds", 0, 86400, o.seconds, error) || !a.Number("--fps", 1, 60, o.fps, error) ||
      !a.Number("--width", 16, 8192, o.width, error) || !a.Number("--height", 16, 8192, o.height, error) ||
      !a.Number("--quality", 0, 100, o.quality, error) || !a.Number("--rtsp-port", 1, 65535, rtspPort, error)) {
    return false;
  }
  const std::string kind = a.Text("--kind", "mjpeg");
  if (kind == "mjpeg") {
    o.device.streamKind = 1;
    o.extension = "mjpeg";
  } else if (kind == "h264") {
    o.device.streamKind = 3;
    o.extension = "h264";
  } else {
    error = "--kind must be mjpeg or h264, not \"" + kind + "\"";
    return false;
  }
  o.device.address = a.Text("--address");
  o.device.port = static_cast<uint16_t>(port);
  o.device.userName = a.Text("--user");
  o.device.password = a.Text("--password");
  o.device.modelName = a.Text("--model", "Quellon");
  o.device.channelCount = o.channels;
  // Numbered parameters run from 1 without gaps: 2 firmware, 3 RTSP port, 4 resolutions.
  o.device.parameters[1] = "";
  o.device.parameters[2] = a.Text("--firmware", "(none)");
  o.device.parameters[3] = std::to_string(rtspPort);
  o.device.parameters[4] = a.Text("--resolutions", "");
  o.out = a.Text("--out", o.out);
  return true;
}

std::string StatusText(ipcapture::IIPVideoCapture* capture, uint32_t index) {
  uint32_t status = 0;
  if (!capture->GetChannelStatus(index, &status, nullptr, nullptr, 0)) return "stopped";
  return status == 0 ? "streaming" : "no signal";
}

// One line per channel; on a terminal the block redraws in place.
class LiveDisplay {
 public:
  explicit LiveDisplay(size_t lines) : terminal_(platform::IsTerminal(1)), lines_(lines) {}

  void Show(const std::vector<std::string>& lines) {
    if (terminal_ && drawn_) std::printf("\x1b[%zuA", lines_);
    for (const std::string& line : lines) std::printf(terminal_ ? "\r\x1b[2K%s\n" : "%s\n", line.c_str());
    drawn_ = true;
    std::fflush(stdout);
  }
  // Log lines go above the live block.
  void Forget() { drawn_ = false; }

 private:
  bool terminal_;
  size_t lines_;
  bool drawn_ = false;
};

// Prints the driver's lines with their level; keeps the live block below them.
class PrintingLog : public HostLogReceiver {
 public:
  PrintingLog() : HostLogReceiver(stdout, false) {}
};

}  // namespace

const char* RecordUsage() {
  return "usage: capture-host record --address A [--port P] [--user U --password W] --kind mjpeg|h264\n"
         "                           [--channels N] [--seconds S] [--fps F] [--width W --height H]\n"
         "                           [--quality Q] [--resolutions 640x480;1280x720] [--rtsp-port R]\n"
         "                           [--out DIR] [--model NAME] [--firmware TEXT]\n"
         "  Records each channel to DIR/channelN.{mjpeg|h264} with an index DIR/channelN.csv and a\n"
         "  snapshot of the last picture; --seconds 0 records until Ctrl-C.\n";
}

int RunRecord(const std::vector<std::string>& args, const std::string& libraryPath) {
  RecordOptions options;
  std::string error;
  if (!ParseRecord(args, options, error)) {
    std::fprintf(stderr, "capture-host record: %s\n%s", error.c_str(), RecordUsage());
    return 2;
  }
  std::error_code fsError;
  std::filesystem::create_directories(options.out, fsError);
  if (fsError) {
    std::fprintf(stderr, "capture-host record: cannot create %s: %s\n", options.out.c_str(),
                 fsError.message().c_str());
    return 2;
  }
  DriverLibrary library;
  if (!library.Load(libraryPath, error)) {
    std::fprintf(stderr, "capture-host: %s\n", error.c_str());
    return 1;
  }

  PrintingLog log;
  HeapFrameAllocator allocator;
  HostDeviceSettings settings(options.device);
  ipcapture::IIPCaptureDriverEx4* driver = library.Create[0]();
  if (driver == nullptr || !driver->Open(&log, &allocator, &settings) || driver->GetVideoCapture() == nullptr) {
    std::fprintf(stderr, "capture-host record: the driver did not open\n");
    if (driver != nullptr) library.Delete[0](driver);
    return 1;
  }
  ipcapture::IIPVideoCapture* capture = driver->GetVideoCapture();

  ChannelValues channelValues;
  channelValues.frameInterval = static_cast<uint16_t>(std::lround(1000.0 / options.fps));
  channelValues.quality = static_cast<uint16_t>(options.quality);
  channelValues.width = static_cast<uint16_t>(options.width);
  channelValues.height = static_cast<uint16_t>(options.height);
  HostChannelSettings channelSettings(channelValues);

  std::vector<std::unique_ptr<RecordingSink>> sinks;
  for (uint32_t i = 0; i < options.channels; ++i) {
    auto sink = std::make_unique<RecordingSink>(options.out + "/channel" + std::to_string(i + 1), options.extension);
    if (!sink->Open(error)) {
      std::fprintf(stderr, "capture-host record: %s\n", error.c_str());
      driver->Close();
      library.Delete[0](driver);
      return 1;
    }
    if (!capture->StartChannel(i, sink.get(), &channelSettings)) {
      std::fprintf(stderr, "capture-host record: channel %u did not start\n", i + 1);
    }
    sinks.push_back(std::move(sink));
  }
  std::printf("recording %u channel(s) of %s:%u (%s, %ux%u, %u pictures/s, quality %u)%s\n", options.channels,
              options.device.address.c_str(), options.device.port, options.extension.c_str(), options.width,
              options.height, options.fps, options.quality,
              options.seconds ? (" for " + std::to_string(options.seconds) + " s").c_str() : " until Ctrl-C");

  LiveDisplay display(sinks.size());
  std::vector<ChannelStats> previous(sinks.size());
  const auto start = std::chrono::steady_clock::now();
  auto lastTick = start;
  for (;;) {
    const int signal = platform::WaitForTerminationSignal(1000);
    const auto now = std::chrono::steady_clock::now();
    const double interval = std::chrono::duration<double>(now - lastTick).count();
    lastTick = now;
    std::vector<std::string> lines;
    for (size_t i = 0; i < sinks.size(); ++i) {
      sinks[i]->Flush();
      ChannelStats stats = sinks[i]->Stats();
      const double rate = interval > 0 ? (stats.pictures - previous[i].pictures) / interval : 0;
      const double kbits = interval > 0 ? (stats.bytes - previous[i].bytes) * 8.0 / 1000.0 / interval : 0;
      char line[256];
      std::snprintf(line, sizeof line, "channel %zu  %5.1f pictures/s  %7.0f kbit/s  %-9s  %6llu pictures  %u losses",
                    i + 1, rate, kbits, StatusText(capture, static_cast<uint32_t>(i)).c_str(),
                    static_cast<unsigned long long>(stats.pictures), stats.signalLosses);
      lines.push_back(line);
      previous[i] = stats;
    }
    display.Show(lines);
    const double elapsed = std::chrono::duration<double>(now - start).count();
    if (signal != 0 || (options.seconds != 0 && elapsed >= options.seconds)) break;
  }

  for (uint32_t i = 0; i < options.channels; ++i) capture->StopChannel(i);
  driver->Close();
  library.Delete[0](driver);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  uint64_t total = 0;
  std::printf("\n%-8s %9s %12s %9s %10s %7s  %s\n", "channel", "pictures", "bytes", "pic/s", "kbit/s", "losses",
              "recording");
  for (size_t i = 0; i < sinks.size(); ++i) {
    sinks[i]->Finish();
    ChannelStats stats = sinks[i]->Stats();
    total += stats.pictures;
    std::printf("%-8zu %9llu %12llu %9.1f %10.0f %7u  %s\n", i + 1, static_cast<unsigned long long>(stats.pictures),
                static_cast<unsigned long long>(stats.bytes), stats.pictures / elapsed,
                stats.bytes * 8.0 / 1000.0 / elapsed, stats.signalLosses, sinks[i]->MediaPath().c_str());
  }
  if (total == 0) {
    std::fprintf(stderr, "capture-host record: nothing was recorded from %s:%u\n", options.device.address.c_str(),
                 options.device.port);
    return 1;
  }
  std::printf("recordings, indexes and snapshots are in %s\n", options.out.c_str());
  return 0;
}

}  // namespace host
}  // namespace kestrum
