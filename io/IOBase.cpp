#include "io/IOBase.h"

#include <new>
#include <string>

#include "platform/DynamicLibrary.h"

namespace kestrum {

CIOBase::CIOBase(IDriver* driver)
    : CDriverHold(driver),
      driver_(driver),
      inputThread_(driver, this, &CIOBase::GetInputStatesWrapper),
      outputThread_(driver, this, &CIOBase::SetOutputStateWrapper) {}

CIOBase::~CIOBase() { StopThreads(); }

void CIOBase::Dispose() {
  callbackOpen_ = false;
  CBaseThread::StopOutcome output, input;
  StopWorkersWithin(output, input);
  bool inside;
  {
    std::lock_guard<std::mutex> life(lifeMutex_);
    inside = workersInside_ > 0;
  }
  // Pinned before the worker may destroy the object: its code must stay
  // mapped however soon the host unloads the library.
  if (inside) platform::PinThisLibrary();
  bool leftToWorker;
  {
    std::lock_guard<std::mutex> life(lifeMutex_);
    leftToWorker = workersInside_ > 0;
    disposed_ = leftToWorker;
  }
  if (!leftToWorker) delete this;
}

void CIOBase::StopWorkersWithin(CBaseThread::StopOutcome& output, CBaseThread::StopOutcome& input) {
  // Both are told first, so that each waits out its own limit only.
  outputThread_.SignalStop();
  inputThread_.SignalStop();
  output = outputThread_.StopWithinLimit();
  input = inputThread_.StopWithin(5000);
}

void CIOBase::WorkerLeft(void* self) {
  auto* io = static_cast<CIOBase*>(self);
  bool last;
  {
    std::lock_guard<std::mutex> life(io->lifeMutex_);
    last = --io->workersInside_ == 0 && io->disposed_;
  }
  if (last) delete io;
}

template <class Worker>
bool CIOBase::StartWorker(Worker& worker, const std::string& name) {
  {
    std::lock_guard<std::mutex> life(lifeMutex_);
    ++workersInside_;
  }
  worker.SetExitHook(&CIOBase::WorkerLeft, this);
  bool started = false;
  try {
    started = worker.Start(name.c_str());
  } catch (...) {
    // Out of memory for its name: not started, so not inside.
  }
  if (started) return true;
  std::lock_guard<std::mutex> life(lifeMutex_);
  --workersInside_;
  return false;
}

ICaptureIOCallback* CIOBase::OpenCallback() {
  if (!callbackOpen_.load()) return nullptr;
  CLockGuard guard(lock_);
  return callback_;
}

void CIOBase::StopThreads() {
  inputThread_.SignalStop();
  outputThread_.SignalStop();
  outputThread_.Stop();
  inputThread_.StopThread(5000);
}

bool CIOBase::SetIOCallback(ICaptureIOCallback* callback) {
  if (callback == nullptr) return false;
  try {
    CLockGuard guard(lock_);
    callback_ = callback;
    return true;
  } catch (...) {
    return false;
  }
}

void CIOBase::ResetStates() {
  const IOCounts counts = driver_->GetIOCounts();
  CLockGuard guard(lock_);
  for (uint32_t i = 0; i < counts.OutputCount; ++i) outputStates_[i] = 0;
  for (auto& entry : outputStates_) entry.second = 0;
  inputStates_.clear();
  for (uint32_t i = 0; i < counts.InputCount; ++i) inputStates_[i] = 0;
}

void CIOBase::NotifyReset() {
  ICaptureIOCallback* callback = OpenCallback();
  if (callback == nullptr) return;
  CheckHostCall("the host's I/O callback");
  callback->OnIOStatesReset();
}

bool CIOBase::FailureStreakBegins(bool& armed) {
  ResetStates();
  NotifyReset();
  CLockGuard guard(lock_);
  const bool first = armed;
  armed = false;
  return first;
}

void CIOBase::EndFailureStreak(bool& armed) {
  CLockGuard guard(lock_);
  armed = true;
}

bool CIOBase::StartIO() {
  try {
    return StartWorkers();
  } catch (const std::bad_alloc&) {
    ReportFailure("kestrum::CIOBase::StartIO", "not enough memory");
  } catch (...) {
    ReportFailure("kestrum::CIOBase::StartIO", "an unexpected error");
  }
  return false;
}

void CIOBase::ReportFailure(const char* where, const char* reason) {
  // Saying why may itself run out: the host then hears nothing, but the
  // call still returns.
  try {
    driver_->Message(1, "%s: %s. Device %s", where, reason, driver_->GetDeviceAddress().c_str());
  } catch (...) {
  }
}

bool CIOBase::StartWorkers() {
  bool busy;
  {
    std::lock_guard<std::mutex> life(lifeMutex_);
    busy = workersInside_ > 0;
  }
  if (busy) {
    // A worker of the last start is still in the host's callback (the stop
    // gave up on it): starting now would run two.
    driver_->Message(2, "%s: Digital I/O of device %s cannot be started: a worker of its last start has not ended yet",
                     "kestrum::CIOBase::StartIO", driver_->GetDeviceAddress().c_str());
    return false;
  }
  ResetStates();
  callbackOpen_ = true;
  OnStartIO();
  bool result = true;
  const std::string suffix = std::string(" (") + driver_->GetDriverName() + ")";
  const IOCounts counts = driver_->GetIOCounts();
  if (counts.OutputCount > 0) {
    if (StartWorker(outputThread_, "Digital Output thread" + suffix)) {
      // Every relay is driven to state 1 first.
      for (uint32_t i = 0; i < GetOutputCount(); ++i) SetOutputState(i, 1);
    } else {
      result = false;
      driver_->Message(1, "%s: Start Output thread failed! Device %s", "kestrum::CIOBase::StartIO",
                       driver_->GetDeviceAddress().c_str());
    }
  }
  if (counts.InputCount > 0 && !StartWorker(inputThread_, "Digital Input thread" + suffix)) {
    result = false;
    driver_->Message(1, "%s: Start Input thread failed! Device %s", "kestrum::CIOBase::StartIO",
                     driver_->GetDeviceAddress().c_str());
  }
  return result;
}

bool CIOBase::StopIO() {
  try {
    return StopWorkers();
  } catch (const std::bad_alloc&) {
    ReportFailure("kestrum::CIOBase::StopIO", "not enough memory");
  } catch (...) {
    ReportFailure("kestrum::CIOBase::StopIO", "an unexpected error");
  }
  return false;
}

bool CIOBase::StopWorkers() {
  // From here on the host's callback is not called, also by a worker that
  // outlives this stop.
  callbackOpen_ = false;
  outputThread_.SignalStop();
  inputThread_.SignalStop();
  OnStopIO();
  bool result = true;
  using Outcome = CBaseThread::StopOutcome;
  Outcome output, input;
  StopWorkersWithin(output, input);
  if (output == Outcome::StillRunning) {
    result = false;
    driver_->Message(1, "%s: Stop Output thread failed! Device %s", "kestrum::CIOBase::StopIO",
                     driver_->GetDeviceAddress().c_str());
  }
  if (input == Outcome::StillRunning) {
    result = false;
    driver_->Message(1, "%s: Stop Input thread failed! Device %s", "kestrum::CIOBase::StopIO",
                     driver_->GetDeviceAddress().c_str());
  }
  ResetStates();
  return result;
}

bool CIOBase::SetOutputState(uint32_t outputIndex, uint32_t state) {
  try {
    auto* request = new (std::nothrow) COutputState(outputIndex, state);
    if (request == nullptr) {
      ReportFailure("kestrum::CIOBase::SetOutputState", "not enough memory for the request");
      return false;
    }
    return outputThread_.Push(request);
  } catch (const std::bad_alloc&) {
    ReportFailure("kestrum::CIOBase::SetOutputState", "not enough memory for the request");
  } catch (...) {
    ReportFailure("kestrum::CIOBase::SetOutputState", "an unexpected error");
  }
  return false;
}

void CIOBase::GetInputStatesWrapper() {
  if (GetInputStates(GetInputCount())) {
    EndFailureStreak(inputFailureArmed_);
    return;
  }
  // A poll cut short by StopIO is no failure of the camera's.
  if (InputStopSignal().Wait(0)) return;
  if (FailureStreakBegins(inputFailureArmed_)) {
    const DEVICE_INFO* device = driver_->GetDeviceInfo();
    driver_->Message(1, "%s: GetInputStates() method failed! Device %s:%u", "kestrum::CIOBase::GetInputStatesWrapper",
                     device->Address.c_str(), static_cast<unsigned>(device->Port));
  }
}

void CIOBase::UpdateInputState(uint32_t index, uint32_t state) {
  {
    CLockGuard guard(lock_);
    auto entry = inputStates_.find(index);
    if (entry == inputStates_.end() || entry->second == state) return;
    entry->second = state;
  }
  ICaptureIOCallback* callback = OpenCallback();
  // Outside the lock: the host may call back into the I/O object.
  if (callback == nullptr) return;
  CheckHostCall("the host's I/O callback");
  callback->OnInputStateChanged(index, state);
}

void CIOBase::SetOutputStateWrapper(uint32_t index, uint32_t state) {
  {
    CLockGuard guard(lock_);
    auto entry = outputStates_.find(index);
    if (entry == outputStates_.end() || entry->second == state) return;  // the camera has it already
    entry->second = state;
  }
  if (WriteOutputState(index, state)) {
    EndFailureStreak(outputFailureArmed_);
    return;
  }
  if (OutputStopSignal().Wait(0)) return;  // cut short by StopIO
  // The reset makes the next request for any output go to the camera again.
  if (FailureStreakBegins(outputFailureArmed_)) {
    const DEVICE_INFO* device = driver_->GetDeviceInfo();
    driver_->Message(1, "%s: Unable to change output state for device %s:%u (output index %u)",
                     "kestrum::CIOBase::SetOutputStateWrapper", device->Address.c_str(),
                     static_cast<unsigned>(device->Port), index);
  }
}

}  // namespace kestrum
