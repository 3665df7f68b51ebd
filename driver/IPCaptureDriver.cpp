#include "driver/IPCaptureDriver.h"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <vector>

#include "driver/DebugInfo.h"
#include "driver/HostVersion.h"
#include "driver/IPVideoCapture.h"
#include "io/IOBase.h"
#include "foundation/TextUtils.h"
#include "platform/System.h"

namespace kestrum {

namespace {

constexpr size_t kMaxExecutablePath = 511;

std::string CopyText(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

std::string ComputeHostDirectory() {
  std::string path = platform::ExecutablePath(kMaxExecutablePath);
  size_t separator = path.rfind(platform::kPathSeparator);
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

}  // namespace

CIPCaptureDriver::CIPCaptureDriver(const char* driverName)
    : hostVersion_(ReadHostVersion()), hostDirectory_(ComputeHostDirectory()) {
  // Out of memory, std::bad_alloc: the factory gives the host null.
  session_ = new CDriverSession(driverName, hostDirectory_, hostVersion_);
}

CIPCaptureDriver::~CIPCaptureDriver() {
  Close();
  session_->ReleaseReference();
}

bool CIPCaptureDriver::RenewSession() {
  session_->CloseHost();
  auto* fresh = new (std::nothrow) CDriverSession(GetDriverName(), hostDirectory_, hostVersion_);
  if (fresh == nullptr) return false;
  session_->ReleaseReference();
  session_ = fresh;
  return true;
}

void CIPCaptureDriver::ReadDeviceSettings(ipcapture::IDeviceSettings* settings) {
  CDriverSession& session = *session_;
  session.SetStreamKind(settings->GetConnectionSettings()->GetStreamKind());
  IOCounts counts;
  counts.InputCount = settings->GetModelSettings()->GetInputCount();
  counts.OutputCount = settings->GetModelSettings()->GetOutputCount();
  session.SetIOCounts(counts);
  session.SetChannelCount(settings->GetModelSettings()->GetChannelCount());
  DEVICE_INFO& device = session.Device();
  device.Address = CopyText(settings->GetConnectionSettings()->GetAddress());
  device.Port = settings->GetConnectionSettings()->GetPort();
  device.UserName = CopyText(settings->GetConnectionSettings()->GetUserName());
  device.Password = CopyText(settings->GetConnectionSettings()->GetPassword());
  device.Model = CopyText(settings->GetModelSettings()->GetModelName());
  for (uint32_t index = 1;; ++index) {
    const char* value = settings->GetParameter(index);
    if (value == nullptr) break;
    session.SetParameter(index, value);
  }
}

bool CIPCaptureDriver::Open(ipcapture::IDebugInfoReceiver* receiver, ipcapture::IHostFrameAllocator* allocator,
                            ipcapture::IDeviceSettings* settings) {
  try {
    if (settings == nullptr || settings->GetModelSettings() == nullptr ||
        settings->GetConnectionSettings() == nullptr) {
      return false;
    }
    // A second Open replaces the first; nothing of the earlier one may leak.
    // The earlier session's components are stopped first, and a thread of
    // theirs still running keeps that session, never this one.
    Close();
    if (!RenewSession()) return false;
    allocator_ = allocator;
    session_->AttachHost(receiver, allocator);
    ReadDeviceSettings(settings);
    videoCapture_ = new (std::nothrow) CIPVideoCapture(this, settings->GetModelSettings()->GetChannelCount(), this);
    if (videoCapture_ == nullptr) return OpenFailed("not enough memory for its video capture");
    if (!AttachDigitalIO()) return false;
    return CompleteOpen();
  } catch (const std::bad_alloc&) {
    return OpenFailed("not enough memory");
  } catch (...) {
    return OpenFailed("an unexpected error");
  }
}

bool CIPCaptureDriver::OpenFailed(const char* reason) {
  // Without this line the host sees a driver that opened and then does
  // nothing; it may not reach the host when memory is gone.
  try {
    Message(1, "%s: Driver cannot be opened: %s", "kestrum::CIPCaptureDriver::Open", reason);
  } catch (...) {
  }
  return false;
}

void CIPCaptureDriver::Close() {
  try {
    // Taken out first: a Close or Open called back from inside one of the
    // stops below finds nothing left to stop.
    CIPVideoCapture* videoCapture = videoCapture_;
    videoCapture_ = nullptr;
    CIOBase* digitalIO = digitalIO_;
    digitalIO_ = nullptr;
    delete videoCapture;
    if (digitalIO != nullptr) digitalIO->Dispose();
  } catch (...) {
  }
  // From here on the host's receiver and allocator are not called, also by a
  // thread that outlived its stop.
  session_->CloseHost();
}

ipcapture::IIPVideoCapture* CIPCaptureDriver::GetVideoCapture() { return videoCapture_; }
ipcapture::IIPVideoCaptureEx* CIPCaptureDriver::GetVideoCaptureEx() { return videoCapture_; }
ICaptureIOApi* CIPCaptureDriver::GetCaptureIO() { return digitalIO_; }

void CIPCaptureDriver::LogDriverOpened(const std::string& firmware) {
  const char* name = GetDriverName();
  if (name == nullptr || *name == '\0') return;
  const DEVICE_INFO& device = *session_->GetDeviceInfo();
  if (device.Model.empty()) return;
  std::string text = FormatString("DRIVER IS OPENED (name: %s, device model: %s", name, device.Model.c_str());
  if (!firmware.empty()) text += ", FW: " + firmware;
  text += FormatString(", address: %s:%u)", device.Address.c_str(), static_cast<unsigned>(device.Port));
  Message(100, "%s", text.c_str());
}

void CIPCaptureDriver::Message(uint32_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  session_->MessageV(level, format, args);
  va_end(args);
}

ICameraChannel* CIPCaptureDriver::CreateVideoChannel(uint32_t index, ipcapture::IHostFrameSink* sink) {
  const char* reason = nullptr;
  try {
    ICameraChannel* channel = MakeChannel(index, sink);
    if (channel != nullptr) return channel;
    reason = "no channel serves this stream kind";
  } catch (const std::bad_alloc&) {
    reason = "not enough memory";
  } catch (...) {
    reason = "an unexpected error";
  }
  Message(1, "%s: Channel %u of camera %s cannot be created: %s", "kestrum::CIPCaptureDriver::CreateVideoChannel",
          index, session_->GetDeviceInfo()->Address.c_str(), reason);
  return nullptr;
}

void CIPCaptureDriver::ReportStartFailure(uint32_t index, const char* reason) {
  // Nothing here allocates before Message, which falls back to a fixed line.
  Message(1, "%s: Channel %u of camera %s cannot be started: %s", "kestrum::CIPCaptureDriver::StartChannel", index,
          session_->GetDeviceInfo()->Address.c_str(), reason != nullptr ? reason : "an unexpected error");
}

ICameraChannel* CIPCaptureDriver::MakeChannel(uint32_t, ipcapture::IHostFrameSink*) { return nullptr; }

}  // namespace kestrum
