#include "foundation/RecursiveLock.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>

#include "platform/Event.h"
#include "platform/Thread.h"

namespace kestrum {

namespace {

constexpr uint32_t kUnknown = 0xFFFFFFFFu;
constexpr uint32_t kMultiProcessorSpins = 4000;
// A waiter looks at the grants this often even without a wake: the event is
// a hint, and a waiter that could not get one polls.
constexpr uint32_t kGrantCheckMs = 50;

// Whether the machine has a single processor; decided by the first lock.
std::atomic<uint32_t> g_singleProcessor{kUnknown};

uint32_t SpinCount() {
  uint32_t single = g_singleProcessor.load(std::memory_order_relaxed);
  if (single == kUnknown) {
    single = platform::ProcessorCount() == 1 ? 1u : 0u;
    g_singleProcessor.store(single, std::memory_order_relaxed);
  }
  return single == 1 ? 0 : kMultiProcessorSpins;
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

CRecursiveLock::CRecursiveLock() : shared_(new Shared) { shared_->spinCount = SpinCount(); }

CRecursiveLock::~CRecursiveLock() { delete wake_.load(std::memory_order_acquire); }

platform::NativeEvent* CRecursiveLock::WakeEvent() {
  platform::NativeEvent* event = wake_.load(std::memory_order_acquire);
  if (event != nullptr) return event;
  auto* created = new (std::nothrow) platform::NativeEvent(false);
  if (created == nullptr) return nullptr;
  if (!created->IsValid()) {
    delete created;
    return nullptr;
  }
  if (wake_.compare_exchange_strong(event, created, std::memory_order_seq_cst)) return created;
  delete created;  // another thread installed one first
  return event;
}

#if KESTRUM_CHECK_HOST_CALLS
namespace {
// Native thread-local storage: the checking builds are Linux builds.
thread_local int t_held = 0;
}  // namespace

void CRecursiveLock::NoteEntered() { ++t_held; }
void CRecursiveLock::NoteLeft() { --t_held; }
int CRecursiveLock::HeldByThisThread() { return t_held; }

void CRecursiveLock::ReportHeldAcrossHostCall(const char* hostCall, int held) {
  std::fprintf(stderr, "kestrum: %s was called with %d of the library's locks held\n", hostCall, held);
  std::fflush(stderr);
  std::abort();
}
#endif

bool CRecursiveLock::TryEnter() {
  Shared& s = *shared_;
  const uint32_t self = platform::CurrentThreadId();
  uint32_t spins = s.spinCount;
  for (;;) {
    int32_t expected = 0;
    if (s.lockCount.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
      s.owner.store(self, std::memory_order_relaxed);
      s.recursion = 1;
      NoteEntered();
      return true;
    }
    if (s.owner.load(std::memory_order_relaxed) == self) {
      s.lockCount.fetch_add(1, std::memory_order_relaxed);
      ++s.recursion;
      NoteEntered();
      return true;
    }
    if (spins == 0) return false;
    --spins;
    // Read before the next exchange so spinning waiters do not keep stealing
    // the cache line from the owner.
    for (uint32_t i = 0; i < 64 && spins > 0 && s.lockCount.load(std::memory_order_relaxed) != 0; ++i) {
      CpuRelax();
      --spins;
    }
  }
}

void CRecursiveLock::Enter() {
  if (TryEnter()) return;
  Shared& s = *shared_;
  const uint32_t self = platform::CurrentThreadId();
  if (s.lockCount.fetch_add(1, std::memory_order_acq_rel) + 1 != 1) {
    if (s.owner.load(std::memory_order_relaxed) == self) {
      ++s.recursion;
      NoteEntered();
      return;
    }
    // Each release with waiters adds one grant, and exactly one waiter takes
    // it. Not a termination point: unwinding here would leave the count raised.
    platform::NativeEvent* event = WakeEvent();
    for (;;) {
      int32_t grants = s.grants.load(std::memory_order_seq_cst);
      bool taken = false;
      while (grants > 0 && !taken) {
        taken = s.grants.compare_exchange_weak(grants, grants - 1, std::memory_order_seq_cst);
      }
      if (taken) break;
      if (event == nullptr) event = WakeEvent();
      if (event != nullptr) {
        event->WaitUninterruptible(kGrantCheckMs);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  }
  s.owner.store(self, std::memory_order_relaxed);
  s.recursion = 1;
  NoteEntered();
}

void CRecursiveLock::Leave() {
  Shared& s = *shared_;
  NoteLeft();
  if (--s.recursion > 0) {
    s.lockCount.fetch_sub(1, std::memory_order_release);
    return;
  }
  s.owner.store(0, std::memory_order_relaxed);
  if (s.lockCount.fetch_sub(1, std::memory_order_acq_rel) - 1 > 0) {
    // Nothing here allocates: Leave runs in destructors. A waiter that made
    // its event after the load below sees the grant before it waits.
    s.grants.fetch_add(1, std::memory_order_seq_cst);
    platform::NativeEvent* event = wake_.load(std::memory_order_seq_cst);
    if (event != nullptr) event->Set();
  }
}

}  // namespace kestrum
