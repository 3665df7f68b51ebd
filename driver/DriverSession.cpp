#include "driver/DriverSession.h"

#include <cstdarg>
#include <cstdio>
#include <new>

#include "driver/DebugInfo.h"
#include "foundation/RecursiveLock.h"
#include "foundation/TextUtils.h"

namespace kestrum {

namespace {

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

}  // namespace

CDriverSession::CDriverSession(const char* driverName, const std::string& hostDirectory,
                               const HOST_VERSION& hostVersion)
    : driverName_(driverName), hostDirectory_(hostDirectory), hostVersion_(hostVersion),
      device_(std::string(), 80, std::string(), std::string()) {}

void CDriverSession::AddReference() { references_.fetch_add(1, std::memory_order_relaxed); }

void CDriverSession::ReleaseReference() {
  if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void CDriverSession::AttachHost(ipcapture::IDebugInfoReceiver* receiver, ipcapture::IHostFrameAllocator* allocator) {
  receiver_ = receiver;
  allocator_ = allocator;
}

void CDriverSession::CloseHost() { hostOpen_.store(false, std::memory_order_release); }

std::string CDriverSession::GetDeviceAddress() { return device_.Address + FormatString(":%hu", device_.Port); }

ipcapture::IHostFrameAllocator* CDriverSession::GetFrameAllocator() {
  return allocator_ != nullptr ? &gatedAllocator_ : nullptr;
}

ipcapture::IHostFrame* CDriverSession::CGatedAllocator::CreateFrame(uint32_t fourCC, uint32_t dataSize,
                                                                   const char* sourceName) {
  if (!session_.IsHostOpen() || session_.allocator_ == nullptr) return nullptr;
  CheckHostCall("the host's frame allocator");
  return session_.allocator_->CreateFrame(fourCC, dataSize, sourceName);
}

void CDriverSession::CGatedAllocator::ReleaseFrame(ipcapture::IHostFrame* frame) {
  // After the host closed the driver its allocator may be gone: the frame is
  // given up, not released into it.
  if (!session_.IsHostOpen() || session_.allocator_ == nullptr) return;
  CheckHostCall("the host's frame allocator");
  session_.allocator_->ReleaseFrame(frame);
}

void CDriverSession::Message(uint32_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  MessageV(level, format, args);
  va_end(args);
}

void CDriverSession::MessageV(uint32_t level, const char* format, va_list args) {
  if (format == nullptr || level == 4 || receiver_ == nullptr || !IsHostOpen()) return;
  CheckHostCall("the host's log receiver");
  va_list fallback;
  va_copy(fallback, args);
  try {
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::vector<char> line(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
    if (length > 0) std::vsnprintf(line.data(), line.size(), format, args);
    CDebugInfo info(TranslateLevel(level, hostVersion_), std::string(line.data()));
    if (IsHostOpen()) receiver_->AddDebugInfo(&info);
  } catch (...) {
    // Diagnostics must never take a worker down. Out of memory, the line
    // (often the very reason a camera fails) still goes out, cut to fit.
    try {
      char line[512];
      std::vsnprintf(line, sizeof line, format, fallback);
      CFixedDebugInfo info(TranslateLevel(level, hostVersion_), line);
      if (IsHostOpen()) receiver_->AddDebugInfo(&info);
    } catch (...) {
    }
  }
  va_end(fallback);
}

std::string CDriverSession::GetParameterString(uint32_t index) {
  auto entry = parameters_.find(index);
  if (entry == parameters_.end() || entry->second == "(none)") return std::string();
  return entry->second;
}

int32_t CDriverSession::GetParameterNumber(uint32_t index) {
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

int32_t CDriverSession::FindResolution(uint32_t width, uint32_t height) {
  const std::string wanted = FormatString("%ux%u", width, height);
  for (size_t i = 0; i < resolutions_.size(); ++i) {
    if (resolutions_[i] == wanted) return static_cast<int32_t>(i);
  }
  return -1;
}

}  // namespace kestrum
