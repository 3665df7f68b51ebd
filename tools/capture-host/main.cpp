// capture-host: a reference recorder host for the QuellonIPCapture driver.
// It loads the driver library at run time and uses only its exports and the
// interfaces of host_interfaces.h.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "BuildVersion.h"
#include "platform/Process.h"
#include "platform/System.h"
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

const char kSelfTestUsage[] =
    "usage: capture-host selftest [--library PATH] [--address A] [--port P]\n"
    "                             [--model NAME] [--firmware TEXT]\n"
    "  selftest  loads the driver, creates it through every create export, opens it,\n"
    "            prints its diagnostic lines and deletes it again\n";

void Usage(FILE* out) {
  std::fprintf(out, "usage: capture-host COMMAND [--library PATH] OPTIONS...\n\n%s\n%s\n%s\n", RecordUsage(),
               QueryUsage(), IoUsage());
  std::fprintf(out, "%s", kSelfTestUsage);
  std::fprintf(out, "usage: capture-host --version [--library PATH]\n");
}

// The version and commit the library was built from, as stamped into it;
// empty when the file cannot be read or carries no stamp.
std::string LibraryBuildInfo(const std::string& path) {
  std::string bytes;
  if (!platform::ReadWholeFile(path, bytes, 256u << 20)) return std::string();
  const std::string marker = "QuellonIPCapture ";
  for (size_t at = bytes.find(marker); at != std::string::npos; at = bytes.find(marker, at + 1)) {
    const size_t end = bytes.find('\0', at);
    const std::string text = bytes.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (text.find(" (commit ") != std::string::npos && text.back() == ')') return text;
  }
  return std::string();
}

int Version(const std::string& library) {
  std::printf("capture-host %s (commit %s)\n", KESTRUM_VERSION_TEXT, KESTRUM_COMMIT_TEXT);
  const std::string info = LibraryBuildInfo(library);
  if (info.empty()) {
    std::printf("library %s: not found or without a version stamp\n", library.c_str());
    return 1;
  }
  std::printf("library %s: %s\n", library.c_str(), info.c_str());
  return 0;
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

int Main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    Usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  // A recording of hundreds of cameras holds thousands of descriptors.
  platform::RaiseOpenFileLimit();
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
  if (command == "--version") return Version(library);
  for (const std::string& arg : args) {
    if (arg != "--help" && arg != "-h") continue;
    const char* usage = command == "record"     ? RecordUsage()
                        : command == "query"    ? QueryUsage()
                        : command == "io"       ? IoUsage()
                        : command == "selftest" ? kSelfTestUsage
                                                : nullptr;
    if (usage == nullptr) break;
    std::printf("%s", usage);
    return 0;
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

// The last word when memory runs out where no command could handle it.
int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("capture-host: not enough memory\n", stderr);
    return 1;
  }
}
