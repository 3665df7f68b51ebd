#include "foundation/Event.h"

#include <new>
#include <vector>

#include "platform/Event.h"

namespace kestrum {

CEvent::CEvent(bool manualReset) : handle_(new (std::nothrow) platform::NativeEvent(manualReset)) {
  if (handle_ && !handle_->IsValid()) handle_.reset();
}

CEvent::~CEvent() = default;

bool CEvent::Set() { return handle_ && handle_->Set(); }
bool CEvent::Reset() { return handle_ && handle_->Reset(); }
bool CEvent::Wait(uint32_t ms) { return handle_ && handle_->Wait(ms); }

int WaitForAny(CEvent* const* events, uint32_t count, uint32_t ms) {
  if (events == nullptr || count == 0) return -1;
  std::vector<platform::NativeEvent*> natives(count);
  for (uint32_t i = 0; i < count; ++i) {
    if (events[i] == nullptr || events[i]->Native() == nullptr) return -1;
    natives[i] = events[i]->Native();
  }
  return platform::NativeEvent::WaitAny(natives.data(), natives.size(), ms);
}

}  // namespace kestrum
