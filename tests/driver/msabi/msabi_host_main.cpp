// Hands the driver's exports to the Microsoft-ABI host (MsvcHost.cpp), which
// makes every call through the interfaces:
//   msabi_host DLL ADDRESS PORT RTSP_PORT KIND     loads the DLL by its path
//   msabi_host linked ADDRESS PORT RTSP_PORT KIND  the exports the import
//                                                  library linked in
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "driver/host_interfaces.h"
#include "platform/DynamicLibrary.h"

extern "C" int MsvcHostRun(CreateIPCaptureFn create, DeleteIPCaptureFn destroy, void (*sleepMs)(uint32_t),
                           const char* address, uint16_t port, const char* rtspPort, uint32_t kind, char* report,
                           uint32_t reportSize);
extern "C" int MsvcHostRunLinked(void (*sleepMs)(uint32_t), const char* address, uint16_t port, const char* rtspPort,
                                 uint32_t kind, char* report, uint32_t reportSize);

namespace {
void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: msabi_host DLL|linked ADDRESS PORT RTSP_PORT KIND\n");
    return 2;
  }
  char report[512];
  const uint16_t port = static_cast<uint16_t>(std::atoi(argv[3]));
  const uint32_t kind = static_cast<uint32_t>(std::atoi(argv[5]));
  kestrum::platform::DynamicLibrary library;  // loaded until the run ends
  int failed;
  if (std::string(argv[1]) == "linked") {
    failed = MsvcHostRunLinked(&SleepMs, argv[2], port, argv[4], kind, report, sizeof report);
  } else {
    if (!library.Open(argv[1])) {
      std::fprintf(stderr, "cannot load %s\n", argv[1]);
      return 2;
    }
    auto create = reinterpret_cast<CreateIPCaptureFn>(library.Symbol("CreateIPCapture"));
    auto destroy = reinterpret_cast<DeleteIPCaptureFn>(library.Symbol("DeleteIPCaptureEx3"));
    if (create == nullptr || destroy == nullptr) {
      std::fprintf(stderr, "the DLL lacks its exports\n");
      return 2;
    }
    failed = MsvcHostRun(create, destroy, &SleepMs, argv[2], port, argv[4], kind, report, sizeof report);
  }
  std::printf("%s\n", report);
  if (failed != 0) std::printf("the Microsoft-ABI host failed at step %d\n", failed);
  return failed == 0 ? 0 : 1;
}
