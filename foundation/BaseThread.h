// Base of every worker thread: a stop event and stopping within a time limit.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "foundation/Event.h"
#include "platform/Thread.h"

class IDebugMessage;

namespace kestrum {

class CBaseThread {
 public:
  // The log (not owned) reports threads that miss their stop limit; may be null.
  explicit CBaseThread(IDebugMessage* log);
  // Stops the thread with 2000 ms. Derived classes whose Run uses their own
  // members must stop the thread in their own destructor first.
  virtual ~CBaseThread();
  CBaseThread(const CBaseThread&) = delete;
  CBaseThread& operator=(const CBaseThread&) = delete;

  // False while the thread is still running (its stop event is reset anyway).
  virtual bool Start(const char* name);
  // Signals stop and waits up to ms; past that, reports and waits without limit.
  virtual bool JoinThread(uint32_t ms);
  // Signals stop and waits up to ms; past that, reports and terminates it.
  virtual bool StopThread(uint32_t ms);

  enum class StopOutcome {
    Ended,         // not running any more
    FromInside,    // asked on the thread itself: it ends as it returns
    StillRunning   // not ended within the limit (reported); the handle stays
  };
  // Signals stop and waits up to ms; a thread that has not ended by then is
  // neither terminated nor waited for: with its stop event set it ends at
  // its next wait. Start is refused until it has.
  StopOutcome StopWithin(uint32_t ms);
  // Called on the thread as its last step, after the body returned; it may
  // destroy the object this thread belongs to.
  void SetExitHook(void (*hook)(void* context), void* context) {
    exitHook_ = hook;
    exitContext_ = context;
  }

  // Signals the stop event without waiting; JoinThread or StopThread follow.
  void RequestStop() { stopEvent_.Set(); }
  // True while the thread's body has not returned.
  bool IsRunning() const { return thread_.IsValid() && thread_.IsRunning(); }
  // True when called on this object's thread (from a callback it made).
  // Any thread may ask, also while the owner starts or joins the thread: it
  // reads what the body itself stored, not the handle.
  bool IsCurrentThread() const { return bodyThread_.load() == platform::CurrentThreadId(); }

  uint32_t GetThreadId() const { return threadId_; }
  const std::string& GetName() const { return name_; }

 protected:
  // The thread body; must return soon after the stop event is signalled.
  virtual void Run() = 0;

  CManualEvent& StopEvent() { return stopEvent_; }
  bool IsStopRequested() { return stopEvent_.Wait(0); }
  IDebugMessage* Log() const { return log_; }

 private:
  static uint32_t ThreadProc(void* object);
  // Steps shared by JoinThread and StopThread; false when stopping from the
  // thread itself; sets ended when nothing is left to wait for.
  bool BeginStop(bool& ended);
  std::string DeviceAddress();

  std::string name_;
  platform::NativeThread thread_;
  uint32_t threadId_ = 0;
  IDebugMessage* log_;
  CManualEvent stopEvent_;
  // The thread running the body, 0 when none (thread ids are never 0).
  std::atomic<uint32_t> bodyThread_{0};
  void (*exitHook_)(void*) = nullptr;
  void* exitContext_ = nullptr;
};

}  // namespace kestrum
