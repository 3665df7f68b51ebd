#include "foundation/RecursiveLock.h"

#include "platform/Event.h"
#include "platform/Thread.h"

namespace kestrum {

namespace {

constexpr uint32_t kUnknown = 0xFFFFFFFFu;
constexpr uint32_t kMultiProcessorSpins = 4000;

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
  auto* created = new platform::NativeEvent(false);
  if (wake_.compare_exchange_strong(event, created, std::memory_order_acq_rel)) return created;
  delete created;  // another thread installed one first
  return event;
}

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
      return true;
    }
    if (s.owner.load(std::memory_order_relaxed) == self) {
      s.lockCount.fetch_add(1, std::memory_order_relaxed);
      ++s.recursion;
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
      return;
    }
    // Only the releasing owner signals, once per release, so the automatic
    // reset event hands the lock to exactly one waiter. Not a termination
    // point: unwinding here would leave the count raised.
    WakeEvent()->WaitUninterruptible(platform::kInfinite);
    // Pairs with the releasing fetch_sub so the previous owner's writes are seen.
    s.lockCount.load(std::memory_order_acquire);
  }
  s.owner.store(self, std::memory_order_relaxed);
  s.recursion = 1;
}

void CRecursiveLock::Leave() {
  Shared& s = *shared_;
  if (--s.recursion > 0) {
    s.lockCount.fetch_sub(1, std::memory_order_release);
    return;
  }
  s.owner.store(0, std::memory_order_relaxed);
  if (s.lockCount.fetch_sub(1, std::memory_order_acq_rel) - 1 > 0) {
    WakeEvent()->Set();
  }
}

}  // namespace kestrum
