#include "driver/QuellonIPCaptureDriver.h"

#include <new>

#include "channels/H264ChannelRTSP.h"
#include "channels/MJPEGHttpChannel.h"
#include "io/DigitalIO.h"
#include "foundation/TextUtils.h"

namespace kestrum {

const char CQuellonIPCaptureDriver::kDriverName[] = "QuellonIPCapture";

CQuellonIPCaptureDriver::~CQuellonIPCaptureDriver() { Close(); }

bool CQuellonIPCaptureDriver::Open(ipcapture::IDebugInfoReceiver* receiver, ipcapture::IHostFrameAllocator* allocator,
                                   ipcapture::IDeviceSettings* settings) {
  // Each opening has a session of its own, resolution list included, so a
  // second Open never touches a list that a channel still streaming reads.
  if (!CIPCaptureDriver::Open(receiver, allocator, settings)) return false;
  try {
    DEVICE_INFO* device = GetDeviceInfo();
    device->ConnectTimeout = 5000;
    device->StreamTimeout = 15000;
    LogDriverOpened(GetParameterString(2));
    std::string list = GetParameterString(4);
    if (!list.empty()) Session().SetResolutions(SplitString(list, ';'));
    return true;
  } catch (...) {
    return false;
  }
}

bool CQuellonIPCaptureDriver::AttachDigitalIO() {
  if (digitalIO_ != nullptr) return true;
  const IOCounts counts = GetIOCounts();
  // The I/O object keeps a table entry per input and output: a count no
  // camera has (a wrapped negative number, say) must not size it.
  if (counts.InputCount > kMaxIOCount || counts.OutputCount > kMaxIOCount) {
    Message(1, "%s: Digital I/O of device %s is not served: %u inputs and %u outputs given, at most %u of each",
            "kestrum::CQuellonIPCaptureDriver::AttachDigitalIO", GetDeviceAddress().c_str(), counts.InputCount,
            counts.OutputCount, kMaxIOCount);
    return true;
  }
  if (counts.InputCount == 0 && counts.OutputCount == 0) return true;
  digitalIO_ = new (std::nothrow) CDigitalIO(&Session());
  if (digitalIO_ == nullptr) {
    Message(1, "%s: Digital I/O of device %s is not served: not enough memory",
            "kestrum::CQuellonIPCaptureDriver::AttachDigitalIO", GetDeviceAddress().c_str());
  }
  return true;  // a device without its I/O object still captures
}

ICameraChannel* CQuellonIPCaptureDriver::MakeChannel(uint32_t index, ipcapture::IHostFrameSink* sink) {
  switch (GetStreamKind()) {
    // Out of memory, std::bad_alloc: the caller says so.
    case 1:
      return new CMJPEGHttpChannel(index, &Session(), sink);
    case 3:
      return new CH264ChannelRTSP(index, &Session(), sink);
    default:
      return nullptr;  // no channel class for this stream kind
  }
}

}  // namespace kestrum
