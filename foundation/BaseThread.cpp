#include "foundation/BaseThread.h"

#include "driver/IDriver.h"

namespace kestrum {

namespace {
constexpr uint32_t kNoObjectExitCode = 0x123456;
// How long a terminated thread gets to reach an interruptible wait and unwind.
constexpr uint32_t kTerminationGraceMs = 1000;
}  // namespace

CBaseThread::CBaseThread(IDebugMessage* log) : log_(log) {}

CBaseThread::~CBaseThread() { StopThread(2000); }

uint32_t CBaseThread::ThreadProc(void* object) {
  if (object == nullptr) return kNoObjectExitCode;
  auto* self = static_cast<CBaseThread*>(object);
  self->bodyThread_.store(platform::CurrentThreadId());
  try {
    self->Run();
  } catch (...) {
    if (platform::IsThreadTermination()) throw;
    // A body must not take the process down; the thread just ends.
  }
  self->bodyThread_.store(0);
  // Last: the hook may destroy the object that holds this one.
  if (self->exitHook_ != nullptr) self->exitHook_(self->exitContext_);
  return 0;
}

bool CBaseThread::Start(const char* name) {
  stopEvent_.Reset();
  if (thread_.IsValid() && thread_.IsRunning()) return false;
  thread_.Release();
  threadId_ = 0;
  name_ = name != nullptr ? name : "";
  if (!thread_.Start(&CBaseThread::ThreadProc, this, name_.c_str())) return false;
  // The system's id, so that the lines about this thread match what a
  // debugger or a process viewer shows.
  threadId_ = thread_.SystemId();
  return true;
}

std::string CBaseThread::DeviceAddress() {
  return log_ != nullptr ? log_->GetDeviceAddress() : std::string();
}

bool CBaseThread::BeginStop(bool& ended) {
  stopEvent_.Set();
  ended = !thread_.IsValid();
  if (ended) return true;
  return !thread_.IsCurrent();
}

bool CBaseThread::JoinThread(uint32_t ms) {
  bool ended = false;
  if (!BeginStop(ended)) return false;
  if (ended) return true;
  if (thread_.Join(ms) == platform::NativeThread::JoinResult::TimedOut) {
    if (log_ != nullptr) {
      log_->Message(2, "%s: Thread (id=%u, name=\"%s\") for device %s was not stopped during %lu milliseconds",
                    "kestrum::CBaseThread::JoinThread", threadId_, name_.c_str(), DeviceAddress().c_str(),
                    static_cast<unsigned long>(ms));
    }
    thread_.Join(platform::kInfinite);
    if (log_ != nullptr) {
      log_->Message(3, "%s: Thread (id=%u, name=\"%s\") was stopped correctly", "kestrum::CBaseThread::JoinThread",
                    threadId_, name_.c_str());
    }
  }
  return true;
}

CBaseThread::StopOutcome CBaseThread::StopWithin(uint32_t ms) {
  bool ended = false;
  if (!BeginStop(ended)) return StopOutcome::FromInside;
  if (ended || thread_.Join(ms) == platform::NativeThread::JoinResult::Ended) return StopOutcome::Ended;
  if (log_ != nullptr) {
    log_->Message(2,
                  "%s: Thread (id=%u, name=\"%s\") for device %s was not stopped during %lu milliseconds and will "
                  "end at its next wait",
                  "kestrum::CBaseThread::StopThread", threadId_, name_.c_str(), DeviceAddress().c_str(),
                  static_cast<unsigned long>(ms));
  }
  return StopOutcome::StillRunning;
}

bool CBaseThread::StopThread(uint32_t ms) {
  bool ended = false;
  if (!BeginStop(ended)) return false;
  if (ended) return true;
  if (thread_.Join(ms) == platform::NativeThread::JoinResult::TimedOut) {
    if (log_ != nullptr) {
      log_->Message(2,
                    "%s: Thread (id=%u, name=\"%s\") for device %s was not stopped during %lu milliseconds and "
                    "will be terminated!",
                    "kestrum::CBaseThread::StopThread", threadId_, name_.c_str(), DeviceAddress().c_str(),
                    static_cast<unsigned long>(ms));
    }
    if (!thread_.Terminate(kTerminationGraceMs)) {
      // It never reached an interruptible wait. Its object must outlive it,
      // so it is waited for: a stop that takes long beats a thread running
      // in freed memory.
      if (log_ != nullptr) {
        log_->Message(1, "%s: Thread (id=%u, name=\"%s\") for device %s could not be terminated; waiting for it to end",
                      "kestrum::CBaseThread::StopThread", threadId_, name_.c_str(), DeviceAddress().c_str());
      }
      thread_.Join(platform::kInfinite);
    }
  }
  return true;
}

}  // namespace kestrum
