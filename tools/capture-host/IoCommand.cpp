#include "tools/capture-host/IoCommand.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/Process.h"
#include "tools/capture-host/Arguments.h"
#include "tools/capture-host/DriverLibrary.h"
#include "tools/hostlib/HostCapability.h"
#include "tools/hostlib/HostFrames.h"
#include "tools/hostlib/HostLog.h"
#include "tools/hostlib/HostSettings.h"

namespace kestrum {
namespace host {

const char* IoUsage() {
  return "usage: capture-host io --address A [--port P] [--user U --password W] [--inputs N] [--outputs M]\n"
         "                       [--set INDEX=STATE ...] [--seconds S]\n"
         "  Prints every input change and I/O reset as it happens; applies the relay requests in\n"
         "  order (state 1 opens the relay, 2 closes it); --seconds 0 runs until Ctrl-C.\n";
}

int RunIo(const std::vector<std::string>& args, const std::string& libraryPath) {
  Arguments a;
  std::string error;
  uint32_t port = 80, inputs = 2, outputs = 1, seconds = 10;
  if (!a.Parse(args, {"--address", "--port", "--user", "--password", "--inputs", "--outputs", "--set", "--seconds"},
               {}, error) ||
      !a.Number("--port", 1, 65535, port, error) || !a.Number("--inputs", 0, 64, inputs, error) ||
      !a.Number("--outputs", 0, 64, outputs, error) || !a.Number("--seconds", 0, 86400, seconds, error)) {
    std::fprintf(stderr, "capture-host io: %s\n%s", error.c_str(), IoUsage());
    return 2;
  }
  if (a.Text("--address").empty()) {
    std::fprintf(stderr, "capture-host io: --address is required\n%s", IoUsage());
    return 2;
  }
  std::vector<std::pair<uint32_t, uint32_t>> requests;
  for (const std::string& item : a.All("--set")) {
    unsigned index = 0, state = 0;
    char extra = 0;
    if (std::sscanf(item.c_str(), "%u=%u%c", &index, &state, &extra) != 2) {
      std::fprintf(stderr, "capture-host io: --set needs INDEX=STATE, not \"%s\"\n", item.c_str());
      return 2;
    }
    requests.emplace_back(index, state);
  }
  if (inputs == 0 && outputs == 0) {
    std::fprintf(stderr, "capture-host io: a device with no inputs and no outputs has no digital I/O\n");
    return 2;
  }
  DriverLibrary library;
  if (!library.Load(libraryPath, error)) {
    std::fprintf(stderr, "capture-host: %s\n", error.c_str());
    return 1;
  }
  HostLogReceiver log(stdout, false);
  HeapFrameAllocator allocator;
  DeviceValues device;
  device.address = a.Text("--address");
  device.port = static_cast<uint16_t>(port);
  device.userName = a.Text("--user");
  device.password = a.Text("--password");
  device.modelName = "Quellon";
  device.channelCount = 0;
  device.inputCount = inputs;
  device.outputCount = outputs;
  HostDeviceSettings settings(device);
  ipcapture::IIPCaptureDriverEx4* driver = library.Create[0]();
  if (driver == nullptr || !driver->Open(&log, &allocator, &settings) || driver->GetCaptureIO() == nullptr) {
    std::fprintf(stderr, "capture-host io: the driver's digital I/O did not open\n");
    if (driver != nullptr) library.Delete[0](driver);
    return 1;
  }
  ICaptureIOApi* io = driver->GetCaptureIO();
  IOEventLog events(stdout);
  io->SetIOCallback(&events);
  std::printf("watching %u input(s), %u relay output(s) of %s:%u\n", io->GetInputCount(), io->GetOutputCount(),
              device.address.c_str(), device.port);
  std::fflush(stdout);
  int status = 0;
  if (!io->StartIO()) status = 1;
  for (const auto& [index, state] : requests) {
    if (!io->SetOutputState(index, state)) status = 1;
    std::printf("requested output %u -> state %u\n", index, state);
  }
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  while (seconds == 0 || std::chrono::steady_clock::now() - start < std::chrono::seconds(seconds)) {
    if (platform::WaitForTerminationSignal(200) != 0) break;
  }
  if (!io->StopIO()) status = 1;
  driver->Close();
  library.Delete[0](driver);
  std::printf("%zu event(s)\n", events.Events().size());
  return status;
}

}  // namespace host
}  // namespace kestrum
