// A recursive lock that spins before it sleeps, and its scope guard.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace kestrum {

namespace platform {
class NativeEvent;
}

class CRecursiveLock {
 public:
  CRecursiveLock();
  ~CRecursiveLock();
  CRecursiveLock(const CRecursiveLock&) = delete;
  CRecursiveLock& operator=(const CRecursiveLock&) = delete;

  // Never blocks: spins (on a multi-processor machine) and gives up.
  bool TryEnter();
  void Enter();
  void Leave();

 private:
  struct Shared {
    uint32_t spinCount = 0;
    std::atomic<int32_t> lockCount{0};
    std::atomic<uint32_t> owner{0};  // 0 when free
    int32_t recursion = 0;           // touched only by the owner
    // Releases handed to a waiter and not yet taken. This is what passes the
    // lock on; the event only wakes, so a waiter without one (none could be
    // made) still gets the lock by looking here.
    std::atomic<int32_t> grants{0};
  };

  // The wake event, made on first use; null when none can be made (memory
  // or kernel objects ran out). Never throws.
  platform::NativeEvent* WakeEvent();

  // Automatic-reset; made on first contention so that uncontended locks cost
  // no kernel object.
  std::atomic<platform::NativeEvent*> wake_{nullptr};
  std::unique_ptr<Shared> shared_;
};

class CLockGuard {
 public:
  explicit CLockGuard(CRecursiveLock& lock) : lock_(lock) { lock_.Enter(); }
  ~CLockGuard() { lock_.Leave(); }
  CLockGuard(const CLockGuard&) = delete;
  CLockGuard& operator=(const CLockGuard&) = delete;

 private:
  CRecursiveLock& lock_;
};

}  // namespace kestrum
