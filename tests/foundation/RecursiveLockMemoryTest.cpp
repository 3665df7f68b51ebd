// The recursive lock makes its wake event at the first contention, the moment
// memory is most likely gone in a crowded recorder: without it the lock must
// still exclude and hand over, and its release (called from destructors)
// must not need memory. Its own program: it replaces operator new.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "foundation/RecursiveLock.h"
#include "tests/support/RefusingAllocator.h"

namespace {

using kestrum::CRecursiveLock;
using kestrum::testing::RefuseAllocations;

TEST(RecursiveLockMemory, ContendedWithoutAWakeEventStillExcludesAndHandsOver) {
  CRecursiveLock lock;
  constexpr int kWaiters = 3;
  constexpr int kRounds = 200;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> entries{0};
  std::atomic<bool> go{false};
  std::thread waiters[kWaiters];
  for (auto& waiter : waiters) {
    waiter = std::thread([&] {
      while (!go.load()) std::this_thread::yield();
      for (int round = 0; round < kRounds; ++round) {
        lock.Enter();
        if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
        std::this_thread::yield();
        inside.fetch_sub(1);
        entries.fetch_add(1);
        lock.Leave();
      }
    });
  }
  // Held while every waiter piles up behind it with allocations refused, so
  // the first contention finds no memory for the event.
  lock.Enter();
  RefuseAllocations(true);
  go = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int whileHeld = entries.load();
  lock.Leave();
  for (auto& waiter : waiters) waiter.join();
  RefuseAllocations(false);

  EXPECT_EQ(0, whileHeld) << "a waiter got in while the lock was held";
  EXPECT_EQ(0, overlaps.load()) << "two threads were inside at once";
  EXPECT_EQ(kWaiters * kRounds, entries.load());
}

TEST(RecursiveLockMemory, AReleaseToAWaiterNeedsNoMemory) {
  CRecursiveLock lock;
  lock.Enter();
  std::atomic<bool> entered{false};
  std::thread waiter([&] {
    lock.Enter();
    entered = true;
    lock.Leave();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // A release that allocated would throw here, inside a noexcept context in
  // real use (a guard's destructor): the process would end.
  RefuseAllocations(true);
  lock.Leave();
  RefuseAllocations(false);
  waiter.join();
  EXPECT_TRUE(entered.load());
}

}  // namespace
