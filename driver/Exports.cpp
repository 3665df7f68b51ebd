// The library's exported entry points. Only these symbols are visible.
#include <new>

#include "driver/ExportMacro.h"
#include "driver/QuellonIPCaptureDriver.h"
#include "driver/host_interfaces.h"


using kestrum::ipcapture::IIPCaptureDriverEx4;

namespace {

IIPCaptureDriverEx4* CreateDriver() {
  try {
    return new (std::nothrow) kestrum::CQuellonIPCaptureDriver();
  } catch (...) {
    return nullptr;
  }
}

void DeleteDriver(IIPCaptureDriverEx4* driver) {
  try {
    kestrum::ipcapture::DestroyThroughInterface(driver);
  } catch (...) {
  }
}

}  // namespace

KESTRUM_EXPORT IIPCaptureDriverEx4* CreateIPCapture() { return CreateDriver(); }
KESTRUM_EXPORT IIPCaptureDriverEx4* CreateIPCaptureEx() { return CreateDriver(); }
KESTRUM_EXPORT IIPCaptureDriverEx4* CreateIPCaptureEx2() { return CreateDriver(); }
KESTRUM_EXPORT IIPCaptureDriverEx4* CreateIPCaptureEx3() { return CreateDriver(); }
KESTRUM_EXPORT void DeleteIPCapture(IIPCaptureDriverEx4* driver) { DeleteDriver(driver); }
KESTRUM_EXPORT void DeleteIPCaptureEx(IIPCaptureDriverEx4* driver) { DeleteDriver(driver); }
KESTRUM_EXPORT void DeleteIPCaptureEx2(IIPCaptureDriverEx4* driver) { DeleteDriver(driver); }
KESTRUM_EXPORT void DeleteIPCaptureEx3(IIPCaptureDriverEx4* driver) { DeleteDriver(driver); }
