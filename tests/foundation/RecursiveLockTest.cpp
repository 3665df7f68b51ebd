#include "foundation/RecursiveLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

using kestrum::CLockGuard;
using kestrum::CRecursiveLock;

namespace {

TEST(RecursiveLock, OwnerMayReenterAndMustLeaveAsOften) {
  CRecursiveLock lock;
  for (int i = 0; i < 5; ++i) lock.Enter();
  EXPECT_TRUE(lock.TryEnter());  // sixth level

  bool otherGot = true;
  auto tryFromOther = [&] {
    std::thread other([&] { otherGot = lock.TryEnter(); });
    other.join();
  };
  for (int i = 0; i < 5; ++i) {
    lock.Leave();
    tryFromOther();
    EXPECT_FALSE(otherGot) << "still held after " << (i + 1) << " leaves";
  }
  lock.Leave();
  tryFromOther();
  EXPECT_TRUE(otherGot);  // the other thread took it and kept it
  tryFromOther();
  EXPECT_FALSE(otherGot);  // ... and it is not ours to release, so others fail
}

TEST(RecursiveLock, TryEnterNeverBlocksWhileAnotherThreadHolds) {
  CRecursiveLock lock;
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread owner([&] {
    CLockGuard guard(lock);
    held = true;
    while (!release) std::this_thread::yield();
  });
  while (!held) std::this_thread::yield();
  // If TryEnter waited for the owner, this loop would never end.
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(lock.TryEnter());
  release = true;
  owner.join();
  EXPECT_TRUE(lock.TryEnter());
  lock.Leave();
}

TEST(RecursiveLock, ContentionKeepsCountsExact) {
  CRecursiveLock lock;
  long counter = 0;  // deliberately unsynchronised except through the lock
  const int kThreads = 4;
  const int kIterations = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kIterations; ++i) {
        CLockGuard outer(lock);
        CLockGuard inner(lock);  // recursion under contention
        ++counter;
        if (i % 512 == 0) std::this_thread::yield();  // hold it long enough for others to sleep
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(static_cast<long>(kThreads) * kIterations, counter);
}

TEST(RecursiveLock, GuardReleasesOnException) {
  CRecursiveLock lock;
  try {
    CLockGuard guard(lock);
    throw std::runtime_error("leave through an exception");
  } catch (const std::runtime_error&) {
  }
  bool otherGot = false;
  std::thread other([&] {
    otherGot = lock.TryEnter();
    if (otherGot) lock.Leave();
  });
  other.join();
  EXPECT_TRUE(otherGot);
}

// The check made before every call into the host: held entries of any lock
// (recursion included) are counted per thread, and a host call with one of
// them held ends a checking build's process, naming the call.
TEST(HostCallCheck, AHostCallUnderAHeldLockEndsTheProcessNamingTheCall) {
#if KESTRUM_CHECK_HOST_CALLS
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  CRecursiveLock lock;
  EXPECT_EQ(0, CRecursiveLock::HeldByThisThread());
  kestrum::CheckHostCall("the host's frame sink");  // nothing held: goes on
  {
    CLockGuard outer(lock);
    CLockGuard inner(lock);
    EXPECT_EQ(2, CRecursiveLock::HeldByThisThread());
    EXPECT_TRUE(lock.TryEnter());
    lock.Leave();
    EXPECT_EQ(2, CRecursiveLock::HeldByThisThread());
  }
  EXPECT_EQ(0, CRecursiveLock::HeldByThisThread());
  // Another thread's lock is not this thread's.
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread other([&] {
    CLockGuard guard(lock);
    held = true;
    while (!release.load()) std::this_thread::yield();
  });
  while (!held.load()) std::this_thread::yield();
  EXPECT_EQ(0, CRecursiveLock::HeldByThisThread());
  release = true;
  other.join();
  EXPECT_DEATH(
      {
        CLockGuard guard(lock);
        kestrum::CheckHostCall("the host's log receiver");
      },
      "the host's log receiver was called with 1 of the library's locks held");
#else
  GTEST_SKIP() << "built without KESTRUM_CHECK_HOST_CALLS";
#endif
}

}  // namespace
