#include "capability/CapabilityQueryModule.h"

#include <atomic>
#include <cstring>
#include <new>

#include "capability/GatedResultSink.h"
#include "platform/DynamicLibrary.h"

namespace kestrum {

namespace {

constexpr uint32_t kNoObjectExitCode = 0x123456;
// Characters that cannot be part of a host name or dotted address: a port
// suffix, a URL, credentials or shell text are refused before any traffic.
const char kForbidden[] = "@#$%^&*(){}[]/\\+=|:;,~'\"!?";

}  // namespace

struct CCapabilityQueryModule::Job {
  DEVICE_INFO device;
  ipcapture::ICapabilityQueryClient* client = nullptr;
  ipcapture::ICapabilityResultSink* sink = nullptr;
  TSmartPtr<CBaseCameraProperties> properties;
  // Closed by the module's delete: the host's client and sink are not
  // called after it returned.
  std::atomic<bool> hostOpen{true};
};

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
    if (started_ || shutDown_) return false;
    if (address == nullptr || userName == nullptr || password == nullptr) return false;
    device_.Address = address;
    device_.Port = port;
    device_.UserName = userName;
    device_.Password = password;
    if (device_.ConnectTimeout == 0) return false;
    auto job = std::make_shared<Job>();
    job->device = device_;
    job->client = client_;
    job->sink = sink;
    job->properties.Reset(CreateCameraProperties());
    if (job->properties.IsEmpty()) return false;
    // The thread's own reference, handed over as it starts.
    auto* handed = new std::shared_ptr<Job>(job);
    job_ = job;
    started_ = thread_.Start(&CCapabilityQueryModule::ThreadProc, handed, "capability query");
    if (!started_) {
      delete handed;
      job_.reset();
    }
    return started_;
  } catch (...) {
    return false;
  }
}

uint32_t CCapabilityQueryModule::ThreadProc(void* handed) {
  if (handed == nullptr) return kNoObjectExitCode;
  std::shared_ptr<Job> job;
  job.swap(*static_cast<std::shared_ptr<Job>*>(handed));
  delete static_cast<std::shared_ptr<Job>*>(handed);
  try {
    RunQuery(*job);
  } catch (...) {
    if (platform::IsThreadTermination()) throw;
    return kNoObjectExitCode;
  }
  return 0;
}

void CCapabilityQueryModule::RunQuery(Job& job) {
  int code = kOtherFailure;
  std::string message;
  ipcapture::ICapabilityQueryClient* client = job.client;
  if (job.device.Address.find_first_of(kForbidden) != std::string::npos) {
    code = kInvalidAddress;
    message = "Failed to start capability fetching thread. Device address is invalid!";
  } else if (job.sink == nullptr) {
    message = "Failed to start capability fetching thread. Internal error occurs";
  } else if (!job.properties->QueryProperties(&code)) {
    const std::string error = job.properties->GetLastErrorText();
    message = "Failed to get camera properties";
    if (code == kLoginRefused) {
      message += error.empty() ? ", login failed (invalid credentials)" : ": " + error;
    } else if (code == kOffline) {
      message += ", device is offline or is located in unaccessible subnet";
    } else if (code == kOtherFailure && !error.empty()) {
      message += ": " + error;
    }
  } else {
    // Each call into the host's sink is checked against the gate: a sink
    // that blocked past the delete's limit is not called on afterwards.
    CGatedResultSink gated(job.sink, job.hostOpen);
    if (job.properties->SaveResults(&gated)) {
      if (client != nullptr && job.hostOpen.load()) {
        CheckHostCall("the capability query's client");
        client->OnQueryCompleted();
      }
      return;
    }
    code = kOtherFailure;
    message = "Failed to save capability query results";
  }
  if (client != nullptr && job.hostOpen.load()) {
    CheckHostCall("the capability query's client");
    client->OnQueryFailed(static_cast<uint32_t>(code), message.c_str());
  }
}

void CCapabilityQueryModule::Terminate() {
  std::shared_ptr<Job> job;
  try {
    CLockGuard guard(lock_);
    job = job_;
  } catch (...) {
    return;
  }
  if (job == nullptr) return;
  job->properties->StopEvent().Set();
  job->properties->Interrupt();
}

void CCapabilityQueryModule::Shutdown() {
  try {
    StopQuery();
  } catch (...) {
    // Called from destructors: nothing may leave.
  }
}

void CCapabilityQueryModule::StopQuery() {
  std::shared_ptr<Job> job;
  {
    CLockGuard guard(lock_);
    if (shutDown_) return;
    shutDown_ = true;
    job = job_;
  }
  if (job == nullptr) return;
  Terminate();
  // Deleted from inside the client's callback, or the query not ended in
  // time: from here on the thread calls the host no more.
  if (thread_.IsCurrent()) {
    job->hostOpen = false;
    platform::PinThisLibrary();
    return;
  }
  if (thread_.Join(2 * device_.ConnectTimeout) == platform::NativeThread::JoinResult::Ended) return;
  job->hostOpen = false;
  // Its code must stay mapped for as long as it runs, however soon the host
  // unloads the library.
  platform::PinThisLibrary();
  // No lock of ours is held: the client may call in again.
  if (client_ == nullptr) return;
  CheckHostCall("the capability query's client");
  client_->OnQueryKilled();
}

}  // namespace kestrum
