#include "tools/capture-host/DriverLibrary.h"

#include "platform/System.h"

namespace kestrum {
namespace host {

namespace {
const char* const kCreateNames[4] = {"CreateIPCapture", "CreateIPCaptureEx", "CreateIPCaptureEx2",
                                     "CreateIPCaptureEx3"};
const char* const kDeleteNames[4] = {"DeleteIPCapture", "DeleteIPCaptureEx", "DeleteIPCaptureEx2",
                                     "DeleteIPCaptureEx3"};
}  // namespace

std::string DriverLibrary::DefaultPath() {
  std::string exe = platform::ExecutablePath(4096);
  size_t slash = exe.rfind(platform::kPathSeparator);
  std::string dir = slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
  // Windows keeps a program's DLLs beside it; other systems in ../lib.
  if (platform::kPathSeparator == '\\') return dir + "\\" + platform::LibraryFileName("QuellonIPCapture");
  return dir + "/../lib/" + platform::LibraryFileName("QuellonIPCapture");
}

bool DriverLibrary::Load(const std::string& path, std::string& error) {
  if (!library_.Open(path)) {
    error = "cannot load the driver library " + path;
    return false;
  }
  for (int i = 0; i < 4; ++i) {
    Create[i] = reinterpret_cast<CreateIPCaptureFn>(library_.Symbol(kCreateNames[i]));
    Delete[i] = reinterpret_cast<DeleteIPCaptureFn>(library_.Symbol(kDeleteNames[i]));
    if (Create[i] == nullptr || Delete[i] == nullptr) {
      error = std::string("the driver library lacks the export ") +
              (Create[i] == nullptr ? kCreateNames[i] : kDeleteNames[i]);
      return false;
    }
  }
  InitQuery = reinterpret_cast<InitCapabilityQueryFn>(library_.Symbol("InitCapabilityQuery"));
  StartQuery = reinterpret_cast<StartCapabilityQueryFn>(library_.Symbol("StartCapabilityQuery"));
  TerminateQuery = reinterpret_cast<TerminateCapabilityQueryFn>(library_.Symbol("TerminateCapabilityQuery"));
  UninitQuery = reinterpret_cast<UninitCapabilityQueryFn>(library_.Symbol("UninitCapabilityQuery"));
  if (InitQuery == nullptr || StartQuery == nullptr || TerminateQuery == nullptr || UninitQuery == nullptr) {
    error = "the driver library lacks the capability query exports";
    return false;
  }
  return true;
}

}  // namespace host
}  // namespace kestrum
