// A worker thread that processes queued items one by one, first in first out.
#pragma once

#include <deque>
#include <memory>

#include "foundation/BaseThread.h"
#include "foundation/RecursiveLock.h"

namespace kestrum {

// T must be destructible through a pointer to T (usually a virtual destructor).
template <class T>
class CQueueThread : public CBaseThread {
 public:
  explicit CQueueThread(IDebugMessage* log) : CBaseThread(log), itemEvent_(false) {}
  ~CQueueThread() override {
    JoinThread(5000);
    CLockGuard guard(lock_);
    queue_.clear();
  }

  // Takes ownership. Refused (and the item destroyed) once stop is signalled.
  bool Push(T* item) {
    std::unique_ptr<T> owned(item);
    // Checked under the lock: Stop signals before it empties the queue, so an
    // item is either refused here or dropped there, never left behind.
    CLockGuard guard(lock_);
    if (IsStopRequested()) return false;
    queue_.push_back(std::move(owned));
    itemEvent_.Set();
    return true;
  }

  bool Start(const char* name) override {
    itemEvent_.Reset();
    return CBaseThread::Start(name);
  }

  // Signals stop, drops every queued item, then joins with 5000 ms.
  virtual bool Stop() {
    StopEvent().Set();
    {
      CLockGuard guard(lock_);
      queue_.clear();
    }
    return JoinThread(5000);
  }

  // As Stop, without waiting past the limit (see StopWithin).
  StopOutcome StopWithinLimit() {
    StopEvent().Set();
    {
      CLockGuard guard(lock_);
      queue_.clear();
    }
    return StopWithin(5000);
  }

  void SignalStop() { StopEvent().Set(); }
  CManualEvent& StopSignal() { return StopEvent(); }

 protected:
  virtual void Process(T* item) = 0;

  void Run() override {
    CEvent* events[2] = {&StopEvent(), &itemEvent_};
    while (!IsStopRequested()) {
      // The limit only bounds how long a lost wake-up could stall the loop.
      if (WaitForAny(events, 2, 1000) != 1) continue;
      for (std::unique_ptr<T> item = PopFront(); item; item = PopFront()) {
        if (IsStopRequested()) break;
        try {
          Process(item.get());
        } catch (...) {
          if (platform::IsThreadTermination()) throw;
          // One failing item must not end the queue.
        }
      }
    }
  }

 private:
  std::unique_ptr<T> PopFront() {
    CLockGuard guard(lock_);
    if (queue_.empty()) return nullptr;
    std::unique_ptr<T> item = std::move(queue_.front());
    queue_.pop_front();
    return item;
  }

  CEvent itemEvent_;
  CRecursiveLock lock_;
  std::deque<std::unique_ptr<T>> queue_;
};

}  // namespace kestrum
