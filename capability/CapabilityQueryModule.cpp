#include "capability/CapabilityQueryModule.h"

#include <cstring>

namespace kestrum {

namespace {

constexpr uint32_t kNoObjectExitCode = 0x123456;
constexpr uint32_t kTerminationGraceMs = 1000;
// Characters that cannot be part of a host name or dotted address: a port
// suffix, a URL, credentials or shell text are refused before any traffic.
const char kForbidden[] = "@#$%^&*(){}[]/\\+=|:;,~'\"!?";

}  // namespace

CCapabilityQueryModule::CCapabilityQueryModule(ipcapture::ICapabilityQueryClient* client, uint32_t videoStandard)
    : videoStandard_((videoStandard & 0xFF) != 0 ? 1 : 0), client_(client) {
  device_.ConnectTimeout = 5000;
  device_.StreamTimeout = 5000;
}

CCapabilityQueryModule::~CCapabilityQueryModule() { Shutdown(); }

bool CCapabilityQueryModule::Start(const char* address, uint16_t port, const char* userName, const char* password,
                                   ipcapture::ICapabilityResultSink* sink) {
  try {
    CLockGuard guard(lock_);
    if (started_) return false;
    sink_ = sink;
    if (address == nullptr || userName == nullptr || password == nullptr) return false;
    device_.Address = address;
    device_.Port = port;
    device_.UserName = userName;
    device_.Password = password;
    if (device_.ConnectTimeout == 0) return false;
    properties_.Reset(CreateCameraProperties());
    if (properties_.IsEmpty()) return false;
    started_ = thread_.Start(&CCapabilityQueryModule::ThreadProc, this, "capability query");
    return started_;
  } catch (...) {
    return false;
  }
}

uint32_t CCapabilityQueryModule::ThreadProc(void* self) {
  if (self == nullptr) return kNoObjectExitCode;
  try {
    static_cast<CCapabilityQueryModule*>(self)->RunQuery();
  } catch (...) {
    if (platform::IsThreadTermination()) throw;
    return kNoObjectExitCode;
  }
  return 0;
}

void CCapabilityQueryModule::RunQuery() {
  int code = kOtherFailure;
  std::string message;
  if (device_.Address.find_first_of(kForbidden) != std::string::npos) {
    code = kInvalidAddress;
    message = "Failed to start capability fetching thread. Device address is invalid!";
  } else {
    TSmartPtr<CBaseCameraProperties> properties(properties_);
    if (properties.IsEmpty() || sink_ == nullptr) {
      message = "Failed to start capability fetching thread. Internal error occurs";
    } else if (!properties->QueryProperties(&code)) {
      const std::string error = properties->GetLastErrorText();
      message = "Failed to get camera properties";
      if (code == kLoginRefused) {
        message += error.empty() ? ", login failed (invalid credentials)" : ": " + error;
      } else if (code == kOffline) {
        message += ", device is offline or is located in unaccessible subnet";
      } else if (code == kOtherFailure && !error.empty()) {
        message += ": " + error;
      }
    } else if (properties->SaveResults(sink_)) {
      properties.Release();
      if (client_ != nullptr) client_->OnQueryCompleted();
      return;
    } else {
      code = kOtherFailure;
      message = "Failed to save capability query results";
    }
  }
  if (client_ != nullptr) client_->OnQueryFailed(static_cast<uint32_t>(code), message.c_str());
}

void CCapabilityQueryModule::Terminate() {
  TSmartPtr<CBaseCameraProperties> properties(properties_);
  if (properties.IsEmpty()) return;
  properties->StopEvent().Set();
  properties->Interrupt();
}

void CCapabilityQueryModule::Shutdown() {
  Terminate();
  CLockGuard guard(lock_);
  if (thread_.IsValid() && !thread_.IsCurrent()) {
    if (thread_.Join(2 * device_.ConnectTimeout) == platform::NativeThread::JoinResult::TimedOut) {
      // The thread uses the properties released below: it is waited for if
      // it does not end when told.
      if (!thread_.Terminate(kTerminationGraceMs)) thread_.Join(platform::kInfinite);
      if (client_ != nullptr) client_->OnQueryKilled();
    }
  }
  properties_.Release();
}

}  // namespace kestrum
