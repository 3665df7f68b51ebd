#include "driver/IPCaptureDriver.h"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <vector>

#include "driver/DebugInfo.h"
#include "driver/HostVersion.h"
#include "driver/IPVideoCapture.h"
#include "foundation/TextUtils.h"
#include "platform/System.h"

namespace kestrum {

namespace {

constexpr size_t kMaxExecutablePath = 511;

// A diagnostic line that needs no allocation, for when memory has run out.
class CFixedDebugInfo final : public CDebugInfoIf {
 public:
  KESTRUM_DESTRUCTOR_SLOT(CFixedDebugInfo)
  CFixedDebugInfo(uint8_t level, const char* text) : level_(level), text_(text) {}
  uint8_t GetLevel() const override { return level_; }
  const char* GetText() const override { return text_[0] != '\0' ? text_ : nullptr; }

 private:
  uint8_t level_;
  const char* text_;
};

std::string CopyText(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

std::string ComputeHostDirectory() {
  std::string path = platform::ExecutablePath(kMaxExecutablePath);
  size_t separator = path.rfind(platform::kPathSeparator);
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

}  // namespace

CIPCaptureDriver::CIPCaptureDriver()
    : hostVersion_(), hostDirectory_(ComputeHostDirectory()), device_(std::string(), 80, std::string(), std::string()) {
  hostVersion_ = ReadHostVersion();
}

CIPCaptureDriver::~CIPCaptureDriver() { Close(); }

void CIPCaptureDriver::ReadDeviceSettings(ipcapture::IDeviceSettings* settings) {
  streamKind_ = settings->GetConnectionSettings()->GetStreamKind();
  ioCounts_.InputCount = settings->GetModelSettings()->GetInputCount();
  ioCounts_.OutputCount = settings->GetModelSettings()->GetOutputCount();
  channelCount_ = settings->GetModelSettings()->GetChannelCount();
  device_.Address = CopyText(settings->GetConnectionSettings()->GetAddress());
  device_.Port = settings->GetConnectionSettings()->GetPort();
  device_.UserName = CopyText(settings->GetConnectionSettings()->GetUserName());
  device_.Password = CopyText(settings->GetConnectionSettings()->GetPassword());
  device_.Model = CopyText(settings->GetModelSettings()->GetModelName());
  parameters_.clear();
  for (uint32_t index = 1;; ++index) {
    const char* value = settings->GetParameter(index);
    if (value == nullptr) break;
    parameters_[index] = value;
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
    Close();
    ReadDeviceSettings(settings);
    allocator_ = allocator;
    receiver_ = receiver;
    videoCapture_ = new (std::nothrow) CIPVideoCapture(this, settings->GetModelSettings()->GetChannelCount());
    if (videoCapture_ == nullptr) return false;
    if (!AttachDigitalIO()) return false;
    return CompleteOpen();
  } catch (...) {
    return false;
  }
}

void CIPCaptureDriver::Close() {
  try {
    delete videoCapture_;
    videoCapture_ = nullptr;
    ipcapture::DestroyThroughInterface(digitalIO_);
    digitalIO_ = nullptr;
  } catch (...) {
  }
}

ipcapture::IIPVideoCapture* CIPCaptureDriver::GetVideoCapture() { return videoCapture_; }
ipcapture::IIPVideoCaptureEx* CIPCaptureDriver::GetVideoCaptureEx() { return videoCapture_; }
ICaptureIOApi* CIPCaptureDriver::GetCaptureIO() { return digitalIO_; }

void CIPCaptureDriver::LogDriverOpened(const std::string& firmware) {
  const char* name = GetDriverName();
  if (name == nullptr || *name == '\0' || device_.Model.empty()) return;
  std::string text = FormatString("DRIVER IS OPENED (name: %s, device model: %s", name, device_.Model.c_str());
  if (!firmware.empty()) text += ", FW: " + firmware;
  text += FormatString(", address: %s:%u)", device_.Address.c_str(), static_cast<unsigned>(device_.Port));
  Message(100, "%s", text.c_str());
}

std::string CIPCaptureDriver::GetDeviceAddress() {
  return device_.Address + FormatString(":%hu", device_.Port);
}

void CIPCaptureDriver::Message(uint32_t level, const char* format, ...) {
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  va_list fallback;
  va_copy(fallback, args);
  try {
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::vector<char> line(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
    if (length > 0) std::vsnprintf(line.data(), line.size(), format, args);
    if (level != 4 && receiver_ != nullptr) {
      CDebugInfo info(TranslateLevel(level, hostVersion_), std::string(line.data()));
      receiver_->AddDebugInfo(&info);
    }
  } catch (...) {
    // Diagnostics must never take a worker down. Out of memory, the line
    // (often the very reason a camera fails) still goes out, cut to fit.
    try {
      if (level != 4 && receiver_ != nullptr) {
        char line[512];
        std::vsnprintf(line, sizeof line, format, fallback);
        CFixedDebugInfo info(TranslateLevel(level, hostVersion_), line);
        receiver_->AddDebugInfo(&info);
      }
    } catch (...) {
    }
  }
  va_end(fallback);
  va_end(args);
}

std::string CIPCaptureDriver::GetParameterString(uint32_t index) {
  auto entry = parameters_.find(index);
  if (entry == parameters_.end() || entry->second == "(none)") return std::string();
  return entry->second;
}

int32_t CIPCaptureDriver::GetParameterNumber(uint32_t index) {
  auto entry = parameters_.find(index);
  if (entry == parameters_.end()) return kNoNumber;
  const std::string& text = entry->second;
  size_t digits = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  if (digits == text.size()) return kNoNumber;
  for (size_t i = digits; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return kNoNumber;
  }
  return ReadNumber(text);
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
          index, device_.Address.c_str(), reason);
  return nullptr;
}

void CIPCaptureDriver::ReportStartFailure(uint32_t index, const char* reason) {
  // Nothing here allocates before Message, which falls back to a fixed line.
  Message(1, "%s: Channel %u of camera %s cannot be started: %s", "kestrum::CIPCaptureDriver::StartChannel", index,
          device_.Address.c_str(), reason != nullptr ? reason : "an unexpected error");
}

ICameraChannel* CIPCaptureDriver::MakeChannel(uint32_t, ipcapture::IHostFrameSink*) { return nullptr; }

}  // namespace kestrum
