// The camera-independent half of a device's digital I/O: input polling every
// 2000 ms on one thread, relay requests applied in order on another.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "driver/IDriver.h"
#include "driver/host_interfaces.h"
#include "foundation/QueueThread.h"
#include "foundation/RecursiveLock.h"
#include "foundation/TickThread.h"

namespace kestrum {

class COutputState {
 public:
  COutputState(uint32_t index, uint32_t state) : Index(index), State(state) {}
  virtual ~COutputState() = default;
  uint32_t Index;
  uint32_t State;
};

template <class T>
class TOutputHandler : public CQueueThread<COutputState> {
 public:
  using Method = void (T::*)(uint32_t, uint32_t);
  TOutputHandler(IDebugMessage* log, T* owner, Method method)
      : CQueueThread<COutputState>(log), owner_(owner), method_(method) {}
  ~TOutputHandler() override { Stop(); }

 protected:
  void Process(COutputState* item) override {
    if (owner_ != nullptr && method_ != nullptr) (owner_->*method_)(item->Index, item->State);
  }

 private:
  T* owner_;
  Method method_;
};

// The host's I/O calls return within their workers' limits whatever the
// host's callback does; a worker still inside the callback then is left to
// end by itself, and the callback is not called again once StopIO (or
// Dispose) has returned.
class CIOBase : private CDriverHold, public ICaptureIOApi {
 public:
  KESTRUM_DESTRUCTOR_SLOT(CIOBase)
  explicit CIOBase(IDriver* driver);
  virtual ~CIOBase();

  // Stops both workers within their limits and destroys the object: at
  // once, or, while a worker is still inside it (in a host callback, or this
  // called from one), as the last such worker leaves.
  void Dispose();

  bool SetIOCallback(ICaptureIOCallback* callback) override;
  // False when a worker of the previous StartIO has not ended yet.
  bool StartIO() override;
  // False when a worker did not end within its limit (it ends by itself).
  bool StopIO() override;
  uint32_t GetInputCount() override { return driver_->GetIOCounts().InputCount; }
  uint32_t GetOutputCount() override { return driver_->GetIOCounts().OutputCount; }
  // Queues the request; false once StopIO has begun.
  bool SetOutputState(uint32_t outputIndex, uint32_t state) override;

  // The input poll period (2000 ms); takes effect at the next StartIO.
  void SetPollPeriod(uint32_t ms) { inputThread_.SetPeriod(ms); }
  // The workers' names as given at StartIO (empty before).
  const std::string& InputThreadName() const { return inputThread_.GetName(); }
  const std::string& OutputThreadName() const { return outputThread_.GetName(); }

 protected:
  virtual void SetOutputStateWrapper(uint32_t index, uint32_t state);
  virtual bool WriteOutputState(uint32_t index, uint32_t state) = 0;
  virtual bool GetInputStates(uint32_t inputCount) = 0;
  virtual void OnStartIO() {}
  virtual void OnStopIO() {}

  // Records a polled input; the host hears of each change once.
  void UpdateInputState(uint32_t index, uint32_t state);
  // Derived destructors stop the threads before their own parts go.
  void StopThreads();

  CEvent& InputStopSignal() { return inputThread_.StopSignal(); }
  CEvent& OutputStopSignal() { return outputThread_.StopSignal(); }
  IDriver* Driver() const { return driver_; }

 private:
  void GetInputStatesWrapper();
  // The bodies of StartIO and StopIO, which keep every exception in.
  bool StartWorkers();
  bool StopWorkers();
  void ReportFailure(const char* where, const char* reason);
  // Starts one worker, counted while inside.
  template <class Worker>
  bool StartWorker(Worker& worker, const std::string& name);
  static void WorkerLeft(void* self);
  // Signals both workers, then stops each within its limit (see StopWithin).
  void StopWorkersWithin(CBaseThread::StopOutcome& output, CBaseThread::StopOutcome& input);
  // The host's callback, or null once StopIO or Dispose has begun.
  ICaptureIOCallback* OpenCallback();
  void ResetStates();
  void NotifyReset();
  // A failure resets the tables and tells the host; true for the first
  // failure of a streak, the only one that is logged.
  bool FailureStreakBegins(bool& armed);
  void EndFailureStreak(bool& armed);

  IDriver* driver_;
  TTickThread<CIOBase> inputThread_;
  TOutputHandler<CIOBase> outputThread_;
  // The host's thread and both workers touch the tables and the callback.
  CRecursiveLock lock_;
  std::map<uint32_t, uint32_t> outputStates_;
  ICaptureIOCallback* callback_ = nullptr;
  std::map<uint32_t, uint32_t> inputStates_;
  bool inputFailureArmed_ = true;
  bool outputFailureArmed_ = true;
  std::atomic<bool> callbackOpen_{false};
  // Workers inside the object, and whether it was disposed of meanwhile
  // (the last of them then destroys it). Never held while anything else is done.
  std::mutex lifeMutex_;
  int workersInside_ = 0;
  bool disposed_ = false;
};

}  // namespace kestrum
