#include "platform/Event.h"

#include <windows.h>

#include <vector>

#include "platform/Thread.h"
#include "platform/win32/Termination.h"

namespace kestrum {
namespace platform {

namespace {

HANDLE Handle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

intptr_t CreateNative(bool manualReset) {
  HANDLE event = CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
  return event == nullptr ? -1 : reinterpret_cast<intptr_t>(event);
}

}  // namespace

NativeEvent::NativeEvent(bool manualReset) : handle_(CreateNative(manualReset)), manual_(manualReset) {}

NativeEvent::~NativeEvent() {
  if (handle_ >= 0) CloseHandle(Handle(handle_));
}

bool NativeEvent::Set() {
  if (handle_ < 0) return false;
  generation_.fetch_add(1, std::memory_order_release);
  std::unique_lock<std::mutex> lock(manualLock_, std::defer_lock);
  if (manual_) {
    // The flag and the kernel event change together (see Reset).
    lock.lock();
    if (signalled_.load(std::memory_order_relaxed)) return true;
    signalled_.store(true, std::memory_order_release);
  }
  return SetEvent(Handle(handle_)) != 0;
}

bool NativeEvent::Reset() {
  if (handle_ < 0) return false;
  std::unique_lock<std::mutex> lock(manualLock_, std::defer_lock);
  if (manual_) {
    lock.lock();
    signalled_.store(false, std::memory_order_release);
  }
  return ResetEvent(Handle(handle_)) != 0;
}

// The kernel object consumes an automatic-reset event for its waiter.
bool NativeEvent::TryConsume() { return true; }

bool NativeEvent::Wait(uint32_t ms) { return WaitImpl(ms, true); }
bool NativeEvent::WaitUninterruptible(uint32_t ms) { return WaitImpl(ms, false); }

bool NativeEvent::WaitImpl(uint32_t ms, bool interruptible) {
  if (handle_ < 0) return false;
  if (manual_ && ms == 0) return signalled_.load(std::memory_order_acquire);
  HANDLE handle = Handle(handle_);
  DWORD result = win32::WaitInterruptible(&handle, 1, ms == kInfinite ? INFINITE : ms, interruptible);
  if (result != 0) return false;
  AcquireSignal();
  return true;
}

int NativeEvent::WaitAny(NativeEvent* const* events, size_t count, uint32_t ms) {
  if (events == nullptr || count == 0 || count >= MAXIMUM_WAIT_OBJECTS) return -1;
  std::vector<HANDLE> handles(count);
  for (size_t i = 0; i < count; ++i) {
    if (events[i] == nullptr || events[i]->handle_ < 0) return -1;
    handles[i] = Handle(events[i]->handle_);
  }
  DWORD result =
      win32::WaitInterruptible(handles.data(), static_cast<DWORD>(count), ms == kInfinite ? INFINITE : ms, true);
  if (result >= count) return -1;
  events[result]->AcquireSignal();
  return static_cast<int>(result);
}

}  // namespace platform
}  // namespace kestrum
