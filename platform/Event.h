// Kernel-style events (manual or automatic reset) that can be waited on
// together, and together with sockets of this layer.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace kestrum {
namespace platform {

class NativeEvent {
 public:
  explicit NativeEvent(bool manualReset);
  ~NativeEvent();
  NativeEvent(const NativeEvent&) = delete;
  NativeEvent& operator=(const NativeEvent&) = delete;

  bool IsValid() const { return handle_ >= 0; }

  bool Set();
  bool Reset();

  // True when signalled within ms (kInfinite: no limit). An automatic-reset
  // event is consumed by the waiter that sees it. This wait is a point where
  // a forced thread termination may take effect.
  bool Wait(uint32_t ms);
  // Same, but never a termination point (used where unwinding would leave
  // shared state half-changed, such as inside a lock).
  bool WaitUninterruptible(uint32_t ms);

  // Position of the first signalled event, or -1 on time-out, failure or an
  // empty list. A termination point like Wait.
  static int WaitAny(NativeEvent* const* events, size_t count, uint32_t ms);

  // The native handle, for socket waits of this layer (a descriptor on
  // POSIX, an event object on Windows).
  intptr_t PollHandle() const { return handle_; }
  // The descriptor that poll() and libcurl's waits take beside sockets, or -1
  // where an event is no such descriptor (Windows).
  intptr_t PollDescriptor() const {
#if defined(_WIN32)
    return -1;
#else
    return handle_;
#endif
  }

  // Called after a successful wait so that what the signaller wrote before Set
  // is visible to the waiter.
  void AcquireSignal() const { generation_.load(std::memory_order_acquire); }

 private:
  bool WaitImpl(uint32_t ms, bool interruptible);
  bool TryConsume();

  intptr_t handle_;
  bool manual_;
  std::atomic<uint64_t> generation_{0};
  // A manual-reset event's state, so that a zero-time wait (the stop checks
  // of every read loop) needs no system call.
  std::atomic<bool> signalled_{false};
  std::mutex manualLock_;  // manual events: the flag and the descriptor together
};

}  // namespace platform
}  // namespace kestrum
