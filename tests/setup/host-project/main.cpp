// Loads the installed driver, opens it on a device and checks that its
// opening line arrives; prints "tiny-host: ok" and exits 0 when all holds.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <quellon/host_interfaces.h>

using namespace kestrum::ipcapture;

namespace {

class Log : public IDebugInfoReceiver {
 public:
  KESTRUM_DESTRUCTOR_SLOT(Log)
  void AddDebugInfo(CDebugInfoIf* info) override { lines.push_back(info->GetText() ? info->GetText() : ""); }
  std::vector<std::string> lines;
};

class NoFrames : public IHostFrameAllocator {
 public:
  KESTRUM_DESTRUCTOR_SLOT(NoFrames)
  IHostFrame* CreateFrame(uint32_t, uint32_t, const char*) override { return nullptr; }
  void ReleaseFrame(IHostFrame*) override {}
};

class Device : public IDeviceSettings, IModelSettings, IConnectionSettings {
 public:
  KESTRUM_DESTRUCTOR_SLOT(Device)
  IModelSettings* GetModelSettings() override { return this; }
  IConnectionSettings* GetConnectionSettings() override { return this; }
  const char* GetParameter(uint32_t index) override { return index == 1 ? "" : index == 2 ? "1.0" : nullptr; }
  const char* GetModelName() override { return "Tiny"; }
  uint32_t GetChannelCount() override { return 1; }
  uint32_t GetInputCount() override { return 0; }
  uint32_t GetOutputCount() override { return 0; }
  const char* GetAddress() override { return "192.0.2.5"; }
  uint16_t GetPort() override { return 80; }
  uint32_t GetStreamKind() override { return 1; }
  const char* GetUserName() override { return ""; }
  const char* GetPassword() override { return ""; }
};

}  // namespace

int main() {
  if (std::strcmp(DRIVER_LIBRARY, DRIVER_LIBRARY_VARIABLE) != 0) {
    std::fprintf(stderr, "tiny-host: the package names two libraries: %s and %s\n", DRIVER_LIBRARY,
                 DRIVER_LIBRARY_VARIABLE);
    return 1;
  }
  void* library = dlopen(DRIVER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "tiny-host: %s\n", dlerror());
    return 1;
  }
  auto create = reinterpret_cast<CreateIPCaptureFn>(dlsym(library, "CreateIPCapture"));
  auto destroy = reinterpret_cast<DeleteIPCaptureFn>(dlsym(library, "DeleteIPCapture"));
  if (create == nullptr || destroy == nullptr) {
    std::fprintf(stderr, "tiny-host: exports missing\n");
    return 1;
  }
  Log log;
  NoFrames frames;
  Device device;
  IIPCaptureDriverEx4* driver = create();
  const bool opened = driver != nullptr && driver->Open(&log, &frames, &device);
  const bool hasCapture = opened && driver->GetVideoCapture() != nullptr && driver->GetVideoCapture()->GetChannelCount() == 1;
  if (driver != nullptr) driver->Close();
  destroy(driver);
  dlclose(library);
  const std::string expected = "DRIVER IS OPENED (name: QuellonIPCapture, device model: Tiny, FW: 1.0, address: 192.0.2.5:80)";
  if (!opened || !hasCapture || log.lines.size() != 1 || log.lines[0] != expected) {
    std::fprintf(stderr, "tiny-host: opened %d, capture %d, %zu lines: %s\n", opened, hasCapture, log.lines.size(),
                 log.lines.empty() ? "" : log.lines[0].c_str());
    return 1;
  }
  std::printf("tiny-host: ok\n");
  return 0;
}
