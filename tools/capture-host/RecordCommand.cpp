#include "tools/capture-host/RecordCommand.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "platform/Process.h"
#include "platform/System.h"
#include "tools/capture-host/Arguments.h"
#include "tools/capture-host/DriverLibrary.h"
#include "tools/capture-host/QueryCommand.h"
#include "tools/capture-host/RecordingSink.h"
#include "tools/hostlib/HostFrames.h"
#include "tools/hostlib/HostLog.h"
#include "tools/hostlib/HostSettings.h"

namespace kestrum {
namespace host {

namespace {

// Most cameras one run records.
constexpr size_t kMaxCameras = 256;

struct RecordOptions {
  DeviceValues device;
  // One camera per HTTP port, all at the device's address; the RTSP ports
  // pair with them in order.
  std::vector<uint16_t> ports{80};
  std::vector<uint16_t> rtspPorts{554};
  uint32_t channels = 1;
  uint32_t seconds = 10;  // 0: until Ctrl-C
  uint32_t fps = 10;
  uint32_t width = 640;
  uint32_t height = 480;
  uint32_t quality = 60;
  std::string out = "recordings";
  std::string extension = "mjpeg";
  // H.264 without --rtsp-port or --resolutions: ask each camera first, as a
  // host's device search does.
  bool askRtspPort = false;
  bool askResolutions = false;
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
  if (!a.Ports("--port", kMaxCameras, o.ports, error) || !a.Ports("--rtsp-port", kMaxCameras, o.rtspPorts, error)) {
    return false;
  }
  if (o.rtspPorts.size() != 1 && o.rtspPorts.size() != o.ports.size()) {
    error = "--rtsp-port names " + std::to_string(o.rtspPorts.size()) + " ports for " +
            std::to_string(o.ports.size()) + " cameras (give one, or one per --port)";
    return false;
  }
  if (!a.Number("--channels", 1, 64, o.channels, error) ||
      !a.Number("--seconds", 0, 86400, o.seconds, error) || !a.Number("--fps", 1, 60, o.fps, error) ||
      !a.Number("--width", 16, 8192, o.width, error) || !a.Number("--height", 16, 8192, o.height, error) ||
      !a.Number("--quality", 0, 100, o.quality, error)) {
    return false;
  }
  const std::string kind = a.Text("--kind", "mjpeg");
  if (kind == "mjpeg") {
    o.device.streamKind = 1;
    o.extension = "mjpeg";
  } else if (kind == "h264") {
    o.device.streamKind = 3;
    o.extension = "h264";
    o.askRtspPort = !a.Has("--rtsp-port");
    o.askResolutions = !a.Has("--resolutions");
  } else {
    error = "--kind must be mjpeg or h264, not \"" + kind + "\"";
    return false;
  }
  o.device.address = a.Text("--address");
  o.device.userName = a.Text("--user");
  o.device.password = a.Text("--password");
  o.device.modelName = a.Text("--model", "Quellon");
  o.device.channelCount = o.channels;
  // Numbered parameters run from 1 without gaps: 2 firmware, 3 RTSP port (set per camera),
  // 4 resolutions.
  o.device.parameters[1] = "";
  o.device.parameters[2] = a.Text("--firmware", "(none)");
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

class TextLine final : public CDebugInfoIf {
 public:
  KESTRUM_DESTRUCTOR_SLOT(TextLine)
  TextLine(uint8_t level, const char* text) : level_(level), text_(text) {}
  uint8_t GetLevel() const override { return level_; }
  const char* GetText() const override { return text_; }

 private:
  uint8_t level_;
  const char* text_;
};

// One camera's driver lines into the shared log, named after the camera when
// one run records several ("Camera 127.0.0.1 is online" from eight cameras at
// one address could not be told apart); keeps the last error or warning, the
// reason to give when nothing was recorded. Called on the driver's threads,
// it allocates nothing: when memory runs out, the reason it keeps is the one
// that matters most.
class CameraLog final : public ipcapture::IDebugInfoReceiver {
 public:
  KESTRUM_DESTRUCTOR_SLOT(CameraLog)
  CameraLog(IDebugInfoReceiver& shared, std::string prefix) : shared_(shared), prefix_(std::move(prefix)) {}

  void AddDebugInfo(CDebugInfoIf* info) override {
    if (info == nullptr) return;
    const char* text = info->GetText() != nullptr ? info->GetText() : "";
    if (info->GetLevel() == 1 || info->GetLevel() == 2) {
      std::lock_guard<std::mutex> lock(mutex_);
      std::snprintf(lastTrouble_, sizeof lastTrouble_, "%s", text);
    }
    if (prefix_.empty()) {
      shared_.AddDebugInfo(info);
      return;
    }
    char named[2048];
    std::snprintf(named, sizeof named, "%s%s", prefix_.c_str(), text);
    TextLine line(info->GetLevel(), named);
    shared_.AddDebugInfo(&line);
  }
  std::string LastTrouble() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastTrouble_;
  }

 private:
  IDebugInfoReceiver& shared_;
  const std::string prefix_;
  std::mutex mutex_;
  char lastTrouble_[1024] = {0};
};

}  // namespace

const char* RecordUsage() {
  return "usage: capture-host record --address A [--port P] [--user U --password W] --kind mjpeg|h264\n"
         "                           [--channels N] [--seconds S] [--fps F] [--width W --height H]\n"
         "                           [--quality Q] [--resolutions 640x480;1280x720] [--rtsp-port R]\n"
         "                           [--out DIR] [--model NAME] [--firmware TEXT]\n"
         "  Records each channel to DIR/channelN.{mjpeg|h264} with an index DIR/channelN.csv and a\n"
         "  snapshot of the last picture; --seconds 0 records until Ctrl-C.\n"
         "  Several cameras at the address, one driver each: --port 8000-8015 or 8000,8002 (and as\n"
         "  many --rtsp-port values); each camera records to DIR/portP/.\n"
         "  H.264 without --rtsp-port or --resolutions asks each camera for them first.\n";
}

namespace {

// One camera: its driver and the sinks of its channels.
struct RecordedCamera {
  uint16_t port = 0;
  std::string label;  // "" for a lone camera, else "port P "
  std::unique_ptr<HostDeviceSettings> settings;
  std::unique_ptr<CameraLog> log;
  ipcapture::IIPCaptureDriverEx4* driver = nullptr;
  ipcapture::IIPVideoCapture* capture = nullptr;
  std::vector<std::unique_ptr<RecordingSink>> sinks;
  std::string trouble;  // why it could not be started, if so
};

// Stops and deletes every driver that was opened.
void CloseCameras(std::vector<RecordedCamera>& cameras, DriverLibrary& library) {
  for (RecordedCamera& camera : cameras) {
    if (camera.driver == nullptr) continue;
    if (camera.capture != nullptr) {
      for (size_t i = 0; i < camera.sinks.size(); ++i) camera.capture->StopChannel(static_cast<uint32_t>(i));
    }
    camera.driver->Close();
    library.Delete[0](camera.driver);
    camera.driver = nullptr;
    camera.capture = nullptr;
  }
}

// Fills in what the command line left open from the camera's own answer
// (capability query); without an answer the RTSP port stays 554.
void AskCamera(const RecordOptions& options, uint16_t port, DriverLibrary& library, DeviceValues& values) {
  const std::string where = options.device.address + ":" + std::to_string(port);
  ResultSink sink;
  std::string error;
  if (!QueryCamera(library, options.device.address, port, options.device.userName, options.device.password, sink,
                   error)) {
    std::fprintf(stderr, "capture-host record: warning: %s did not answer the capability query (%s)%s\n",
                 where.c_str(), error.c_str(), options.askRtspPort ? "; RTSP port 554" : "");
    return;
  }
  std::string found;
  const std::string rtspPort = PropertyValueOf(sink, "RTSP port");
  if (options.askRtspPort && !rtspPort.empty()) {
    values.parameters[3] = rtspPort;
    found += "RTSP port " + rtspPort;
  }
  const std::string resolutions = PropertyValueOf(sink, "Resolutions");
  if (options.askResolutions && !resolutions.empty()) {
    values.parameters[4] = resolutions;
    found += (found.empty() ? "" : ", ") + std::string("resolutions ") + resolutions;
  }
  std::printf("asked %s: %s\n", where.c_str(), found.empty() ? "it named nothing more" : found.c_str());
}

// Opens the camera's driver and starts its channels; false after a message
// (camera.trouble says what failed). A channel whose file cannot be written
// is told and left out; the camera's other channels still start.
bool StartCamera(RecordedCamera& camera, const RecordOptions& options, HeapFrameAllocator& allocator,
                 HostChannelSettings& channelSettings, DriverLibrary& library, const std::string& dir) {
  std::string error;
  camera.driver = library.Create[0]();
  if (camera.driver == nullptr || !camera.driver->Open(camera.log.get(), &allocator, camera.settings.get()) ||
      camera.driver->GetVideoCapture() == nullptr) {
    camera.trouble = camera.driver == nullptr ? "no driver could be created" : "the driver did not open";
    std::fprintf(stderr, "capture-host record: %s%s\n", camera.trouble.c_str(),
                 camera.label.empty() ? "" : (" for port " + std::to_string(camera.port)).c_str());
    return false;
  }
  camera.capture = camera.driver->GetVideoCapture();
  std::error_code fsError;
  std::filesystem::create_directories(dir, fsError);
  if (fsError) {
    camera.trouble = "cannot create " + dir + ": " + fsError.message();
    std::fprintf(stderr, "capture-host record: %s\n", camera.trouble.c_str());
    return false;
  }
  for (uint32_t i = 0; i < options.channels; ++i) {
    auto sink = std::make_unique<RecordingSink>(dir + "/channel" + std::to_string(i + 1), options.extension);
    if (!sink->Open(error)) {
      camera.trouble = error;
      std::fprintf(stderr, "capture-host record: %s\n", error.c_str());
    } else if (!camera.capture->StartChannel(i, sink.get(), &channelSettings)) {
      std::fprintf(stderr, "capture-host record: %schannel %u did not start\n", camera.label.c_str(), i + 1);
    }
    camera.sinks.push_back(std::move(sink));
  }
  return true;
}

}  // namespace

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

  // One log and one frame allocator serve every driver, as in a recorder host.
  PrintingLog log;
  HeapFrameAllocator allocator;
  ChannelValues channelValues;
  channelValues.frameInterval = static_cast<uint16_t>(std::lround(1000.0 / options.fps));
  channelValues.quality = static_cast<uint16_t>(options.quality);
  channelValues.width = static_cast<uint16_t>(options.width);
  channelValues.height = static_cast<uint16_t>(options.height);
  HostChannelSettings channelSettings(channelValues);

  const bool several = options.ports.size() > 1;
  std::vector<RecordedCamera> cameras(options.ports.size());
  for (size_t c = 0; c < cameras.size(); ++c) {
    RecordedCamera& camera = cameras[c];
    camera.port = options.ports[c];
    bool started = false;
    // Out of memory, this camera is not started (and said so); the others record.
    try {
      camera.label = several ? "port " + std::to_string(camera.port) + " " : "";
      DeviceValues values = options.device;
      values.port = camera.port;
      values.parameters[3] = std::to_string(options.rtspPorts[options.rtspPorts.size() == 1 ? 0 : c]);
      if (options.askRtspPort || options.askResolutions) AskCamera(options, camera.port, library, values);
      camera.settings = std::make_unique<HostDeviceSettings>(values);
      camera.log = std::make_unique<CameraLog>(
          log, several ? options.device.address + ":" + std::to_string(camera.port) + ": " : std::string());
      const std::string dir = several ? options.out + "/port" + std::to_string(camera.port) : options.out;
      started = StartCamera(camera, options, allocator, channelSettings, library, dir);
    } catch (const std::bad_alloc&) {
      std::fprintf(stderr, "capture-host record: port %u: not enough memory to set it up\n", camera.port);
      try {
        camera.trouble = "not enough memory to set it up";
      } catch (const std::bad_alloc&) {
        // Told above; the summary says less.
      }
    }
    // With several cameras, as in a recorder, one that cannot be started is
    // told and the others record; it is named again at the end.
    if (!started && !several) {
      CloseCameras(cameras, library);
      return 1;
    }
  }
  // Formatted in place: with memory short, the recording still starts.
  char more[64] = "";
  if (several) std::snprintf(more, sizeof more, " and %zu more camera(s)", options.ports.size() - 1);
  char duration[32] = " until Ctrl-C";
  if (options.seconds != 0) std::snprintf(duration, sizeof duration, " for %u s", options.seconds);
  std::printf("recording %u channel(s) of %s:%u%s (%s, %ux%u, %u pictures/s, quality %u)%s\n", options.channels,
              options.device.address.c_str(), options.ports.front(), more, options.extension.c_str(), options.width,
              options.height, options.fps, options.quality, duration);

  const size_t channelCount = cameras.size() * options.channels;
  LiveDisplay display(channelCount);
  std::vector<ChannelStats> previous(channelCount);
  std::set<RecordingSink*> reported;  // write errors are told once
  const auto start = std::chrono::steady_clock::now();
  auto lastTick = start;
  for (;;) {
    const int signal = platform::WaitForTerminationSignal(1000);
    const auto now = std::chrono::steady_clock::now();
    const double interval = std::chrono::duration<double>(now - lastTick).count();
    lastTick = now;
    // Short of memory, a second's display is left out; the recording goes on.
    try {
      std::vector<std::string> lines;
      size_t n = 0;
      for (RecordedCamera& camera : cameras) {
        for (size_t i = 0; i < camera.sinks.size(); ++i, ++n) {
          RecordingSink& sink = *camera.sinks[i];
          sink.Flush();
          const std::string writeError = sink.WriteError();
          if (!writeError.empty() && reported.insert(&sink).second) {
            display.Forget();
            std::fprintf(stderr, "capture-host record: %s\n", writeError.c_str());
          }
          ChannelStats stats = sink.Stats();
          const double rate = interval > 0 ? (stats.pictures - previous[n].pictures) / interval : 0;
          const double kbits = interval > 0 ? (stats.bytes - previous[n].bytes) * 8.0 / 1000.0 / interval : 0;
          char line[256];
          std::snprintf(line, sizeof line,
                        "%schannel %zu  %5.1f pictures/s  %7.0f kbit/s  %-9s  %6llu pictures  %u losses",
                        camera.label.c_str(), i + 1, rate, kbits,
                        StatusText(camera.capture, static_cast<uint32_t>(i)).c_str(),
                        static_cast<unsigned long long>(stats.pictures), stats.signalLosses);
          lines.push_back(line);
          previous[n] = stats;
        }
      }
      display.Show(lines);
    } catch (const std::bad_alloc&) {
      display.Forget();
      std::fputs("capture-host record: not enough memory for the display\n", stderr);
    }
    const double elapsed = std::chrono::duration<double>(now - start).count();
    if (signal != 0 || (options.seconds != 0 && elapsed >= options.seconds)) break;
  }

  CloseCameras(cameras, library);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  uint64_t total = 0;
  bool writeFailed = false;
  std::vector<std::string> silent;  // what to say of each camera that recorded nothing
  std::printf("\n%-8s %9s %12s %9s %10s %7s  %s\n", several ? "camera/ch" : "channel", "pictures", "bytes",
              "pic/s", "kbit/s", "losses", "recording");
  for (RecordedCamera& camera : cameras) {
    uint64_t pictures = 0;
    for (size_t i = 0; i < camera.sinks.size(); ++i) {
      RecordingSink& sink = *camera.sinks[i];
      sink.Finish();
      const std::string writeError = sink.WriteError();
      if (!writeError.empty()) {
        writeFailed = true;
        if (reported.insert(&sink).second) std::fprintf(stderr, "capture-host record: %s\n", writeError.c_str());
      }
      ChannelStats stats = sink.Stats();
      total += stats.pictures;
      pictures += stats.pictures;
      const std::string name = several ? std::to_string(camera.port) + "/" + std::to_string(i + 1)
                                       : std::to_string(i + 1);
      std::printf("%-8s %9llu %12llu %9.1f %10.0f %7u  %s\n", name.c_str(),
                  static_cast<unsigned long long>(stats.pictures), static_cast<unsigned long long>(stats.bytes),
                  stats.pictures / elapsed, stats.bytes * 8.0 / 1000.0 / elapsed, stats.signalLosses,
                  sink.MediaPath().c_str());
    }
    if (pictures == 0) {
      const std::string reason = camera.log != nullptr ? camera.log->LastTrouble() : std::string();
      silent.push_back(options.device.address + ":" + std::to_string(camera.port) +
                       (!camera.trouble.empty() ? ": " + camera.trouble
                        : reason.empty()        ? " (its driver gave no reason)"
                                                : "; the driver's last word: " + reason));
    }
  }
  for (const std::string& camera : silent) {
    std::fprintf(stderr, "capture-host record: nothing was recorded from %s\n", camera.c_str());
  }
  if (total == 0) return 1;
  if (writeFailed) {
    std::fprintf(stderr, "capture-host record: the recordings in %s are incomplete\n", options.out.c_str());
    return 1;
  }
  std::printf("recordings, indexes and snapshots are in %s\n", options.out.c_str());
  return 0;
}

}  // namespace host
}  // namespace kestrum
