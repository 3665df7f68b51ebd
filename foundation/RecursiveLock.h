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

#if KESTRUM_CHECK_HOST_CALLS
  // Entries of these locks the calling thread holds.
  static int HeldByThisThread();
  // Prints what was called and ends the process.
  [[noreturn]] static void ReportHeldAcrossHostCall(const char* hostCall, int held);
#endif

 private:
#if KESTRUM_CHECK_HOST_CALLS
  static void NoteEntered();
  static void NoteLeft();
#else
  static void NoteEntered() {}
  static void NoteLeft() {}
#endif

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

// Called before every call into a host object (receiver, allocator, frame,
// sink, I/O callback, capability client and result sink): the host may take
// its own lock there or call back in, so no lock of the library's may be
// held. Checking builds (KESTRUM_CHECK_HOST_CALLS) end the process when one
// is; others compile it away.
inline void CheckHostCall(const char* hostCall) {
#if KESTRUM_CHECK_HOST_CALLS
  const int held = CRecursiveLock::HeldByThisThread();
  if (held != 0) CRecursiveLock::ReportHeldAcrossHostCall(hostCall, held);
#else
  (void)hostCall;
#endif
}

}  // namespace kestrum
