// capture-host: a reference recorder host for the QuellonIPCapture driver.
// It loads the driver library at run time and uses only its exports and the
// interfaces of host_interfaces.h.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "tools/capture-host/DriverLibrary.h"
#include "tools/capture-host/IoCommand.h"
#include "tools/capture-host/QueryCommand.h"
#include "tools/capture-host/RecordCommand.h"
#include "tools/hostlib/HostFrames.h"
#include "tools/hostlib/HostLog.h"
#include "tools/hostlib/HostSettings.h"

using namespace kestrum;
using namespace kestrum::host;

namespace {

void Usage(FILE* out) {
  std::fprintf(out, "usage: capture-host COMMAND [--library PATH] OPTIONS...\n\n%s\n%s\n%s\n", RecordUsage(),
               QueryUsage(), IoUsage());
  std::fprintf(out,
               "usage: capture-host selftest [--library PATH] [--address A] [--port P]\n"
               "                             [--model NAME] [--firmware TEXT]\n"
               "  selftest  loads the driver, creates it through every create export, opens it,\n"
               "            prints its diagnostic lines and deletes it again\n");
}

bool ParsePort(const char* text, uint16_t& port) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

int SelfTest(int argc, char** argv) {
  std::string library = DriverLibrary::DefaultPath();
  DeviceValues device;
  device.address = "127.0.0.1";
  device.modelName = "Quellon";
  device.parameters[1] = "";
  device.parameters[2] = "(none)";
  for (int i = 0; i < argc; ++i) {
    std::string option = argv[i];
    if (i + 1 >= argc) {
      std::fprintf(stderr, "capture-host: option %s needs a value\n", option.c_str());
      return 2;
    }
    const char* value = argv[++i];
    if (option == "--library") {
      library = value;
    } else if (option == "--address") {
      device.address = value;
    } else if (option == "--port") {
      if (!ParsePort(value, device.port)) {
        std::fprintf(stderr, "capture-host: --port needs a number from 1 to 65535, not \"%s\"\n", value);
        return 2;
      }
    } else if (option == "--model") {
      device.modelName = value;
    } else if (option == "--firmware") {
      device.parameters[2] = value;
    } else {
      std::fprintf(stderr, "capture-host: unknown option %s\n", option.c_str());
      return 2;
    }
  }

  DriverLibrary driverLibrary;
  std::string error;
  if (!driverLibrary.Load(library, error)) {
    std::fprintf(stderr, "capture-host: %s\n", error.c_str());
    return 1;
  }
  std::printf("loaded %s\n", library.c_str());

  int failures = 0;
  for (int level = 0; level < 4; ++level) {
    HostLogReceiver log(stdout, true);
    HeapFrameAllocator allocator;
    HostDeviceSettings settings(device);
    ipcapture::IIPCaptureDriverEx4* driver = driverLibrary.Create[level]();
    if (driver == nullptr) {
      std::printf("create export %d: no driver\n", level);
      ++failures;
      continue;
    }
    bool opened = driver->Open(&log, &allocator, &settings);
    ipcapture::IIPVideoCapture* capture = opened ? driver->GetVideoCapture() : nullptr;
    std::printf("create export %d: open %s, %u video channel(s), digital I/O %s\n", level,
                opened ? "ok" : "FAILED", capture != nullptr ? capture->GetChannelCount() : 0u,
                driver->GetCaptureIO() != nullptr ? "present" : "absent");
    if (!opened || log.Matching("DRIVER IS OPENED").empty()) ++failures;
    driver->Close();
    driverLibrary.Delete[(level + 1) % 4](driver);
  }
  std::printf(failures == 0 ? "selftest passed\n" : "selftest FAILED\n");
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    Usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  // Before the driver starts threads, so that Ctrl-C reaches the main thread.
  platform::BlockTerminationSignals();
  const std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  std::string library = DriverLibrary::DefaultPath();
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == "--library") {
      library = args[i + 1];
      args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
      break;
    }
  }
  if (command == "selftest") {
    args.insert(args.begin(), {"--library", library});
    std::vector<char*> raw;
    for (std::string& arg : args) raw.push_back(&arg[0]);
    return SelfTest(static_cast<int>(raw.size()), raw.data());
  }
  if (command == "record") return RunRecord(args, library);
  if (command == "query") return RunQuery(args, library);
  if (command == "io") return RunIo(args, library);
  std::fprintf(stderr, "capture-host: unknown command %s\n", command.c_str());
  Usage(stderr);
  return 2;
}
