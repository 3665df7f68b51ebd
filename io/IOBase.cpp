#include "io/IOBase.h"

#include <string>

namespace kestrum {

CIOBase::CIOBase(IDriver* driver)
    : driver_(driver),
      inputThread_(driver, this, &CIOBase::GetInputStatesWrapper),
      outputThread_(driver, this, &CIOBase::SetOutputStateWrapper) {}

CIOBase::~CIOBase() { StopThreads(); }

void CIOBase::StopThreads() {
  inputThread_.SignalStop();
  outputThread_.SignalStop();
  outputThread_.Stop();
  inputThread_.StopThread(5000);
}

bool CIOBase::SetIOCallback(ICaptureIOCallback* callback) {
  if (callback == nullptr) return false;
  CLockGuard guard(lock_);
  callback_ = callback;
  return true;
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
  ICaptureIOCallback* callback;
  {
    CLockGuard guard(lock_);
    callback = callback_;
  }
  if (callback != nullptr) callback->OnIOStatesReset();
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
  ResetStates();
  OnStartIO();
  bool result = true;
  const std::string suffix = std::string(" (") + driver_->GetDriverName() + ")";
  const IOCounts counts = driver_->GetIOCounts();
  if (counts.OutputCount > 0) {
    if (outputThread_.Start(("Digital Output thread" + suffix).c_str())) {
      // Every relay is driven to state 1 first.
      for (uint32_t i = 0; i < GetOutputCount(); ++i) SetOutputState(i, 1);
    } else {
      result = false;
      driver_->Message(1, "%s: Start Output thread failed! Device %s", "kestrum::CIOBase::StartIO",
                       driver_->GetDeviceAddress().c_str());
    }
  }
  if (counts.InputCount > 0 && !inputThread_.Start(("Digital Input thread" + suffix).c_str())) {
    result = false;
    driver_->Message(1, "%s: Start Input thread failed! Device %s", "kestrum::CIOBase::StartIO",
                     driver_->GetDeviceAddress().c_str());
  }
  return result;
}

bool CIOBase::StopIO() {
  outputThread_.SignalStop();
  inputThread_.SignalStop();
  OnStopIO();
  bool result = true;
  if (!outputThread_.Stop()) {
    result = false;
    driver_->Message(1, "%s: Stop Output thread failed! Device %s", "kestrum::CIOBase::StopIO",
                     driver_->GetDeviceAddress().c_str());
  }
  if (!inputThread_.StopThread(5000)) {
    result = false;
    driver_->Message(1, "%s: Stop Input thread failed! Device %s", "kestrum::CIOBase::StopIO",
                     driver_->GetDeviceAddress().c_str());
  }
  ResetStates();
  return result;
}

bool CIOBase::SetOutputState(uint32_t outputIndex, uint32_t state) {
  return outputThread_.Push(new COutputState(outputIndex, state));
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
  ICaptureIOCallback* callback;
  {
    CLockGuard guard(lock_);
    auto entry = inputStates_.find(index);
    if (entry == inputStates_.end() || entry->second == state) return;
    entry->second = state;
    callback = callback_;
  }
  // Outside the lock: the host may call back into the I/O object.
  if (callback != nullptr) callback->OnInputStateChanged(index, state);
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
