// Worker threads that do something periodically.
#pragma once

#include <cstdint>

#include "foundation/BaseThread.h"

namespace kestrum {

class CTickThread : private CBaseThread {
 public:
  explicit CTickThread(IDebugMessage* log) : CBaseThread(log) {}
  ~CTickThread() override;

  // Starts with a tick at once, then one every period.
  bool Start(const char* name) override;
  // StopThread with 5000 ms.
  bool Stop();
  void SetPeriod(uint32_t ms) { period_ = ms; }
  uint32_t GetPeriod() const { return period_; }

  // Lets an owner wake several workers at once before stopping each.
  void SignalStop() { StopEvent().Set(); }
  // Signalled while the thread is asked to stop; blocking work on the thread
  // waits on it too.
  CManualEvent& StopSignal() { return StopEvent(); }
  using CBaseThread::GetName;
  using CBaseThread::GetThreadId;
  using CBaseThread::JoinThread;
  using CBaseThread::SetExitHook;
  using CBaseThread::StopOutcome;
  using CBaseThread::StopThread;
  using CBaseThread::StopWithin;

 protected:
  virtual void OnTick() = 0;

 private:
  void Run() override;

  uint32_t period_ = 2000;
  bool tickAtStart_ = false;
};

// A tick thread that calls a member function of an owner.
template <class T>
class TTickThread : public CTickThread {
 public:
  using Method = void (T::*)();

  TTickThread(IDebugMessage* log, T* owner, Method method) : CTickThread(log), owner_(owner), method_(method) {}
  ~TTickThread() override { Stop(); }

 protected:
  void OnTick() override {
    if (owner_ != nullptr && method_ != nullptr) (owner_->*method_)();
  }

 private:
  T* owner_;
  Method method_;
};

}  // namespace kestrum
