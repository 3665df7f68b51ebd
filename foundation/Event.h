// Event wrappers used by every worker of the library.
#pragma once

#include <cstdint>
#include <memory>

namespace kestrum {

namespace platform {
class NativeEvent;
}

constexpr uint32_t kWaitInfinite = 0xFFFFFFFFu;

// Unnamed event, initially not signalled.
class CEvent {
 public:
  explicit CEvent(bool manualReset);
  virtual ~CEvent();
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;

  bool Set();
  bool Reset();
  // True when signalled within ms; false on time-out, failure or no handle.
  bool Wait(uint32_t ms);

  platform::NativeEvent* Native() const { return handle_.get(); }

 private:
  std::unique_ptr<platform::NativeEvent> handle_;
};

class CManualEvent : public CEvent {
 public:
  CManualEvent() : CEvent(true) {}
};

// Position (0-based) of the first signalled event, or -1 on time-out,
// failure or an empty list.
int WaitForAny(CEvent* const* events, uint32_t count, uint32_t ms);

}  // namespace kestrum
