#include "platform/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Thread.h"

using kestrum::platform::kInfinite;
using kestrum::platform::MonotonicMilliseconds;
using kestrum::platform::NativeEvent;

namespace {

TEST(NativeEvent, ManualResetStaysSignalledUntilReset) {
  NativeEvent event(true);
  ASSERT_TRUE(event.IsValid());
  EXPECT_FALSE(event.Wait(0));
  EXPECT_TRUE(event.Set());
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Reset());
  EXPECT_FALSE(event.Wait(0));
  EXPECT_TRUE(event.Reset());  // resetting a clear event is fine
}

TEST(NativeEvent, AutoResetReleasesExactlyOneWaiter) {
  NativeEvent event(false);
  EXPECT_TRUE(event.Set());
  EXPECT_TRUE(event.Set());  // a second Set before any wait collapses into one
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(0));

  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (event.Wait(2000)) woken.fetch_add(1);
    });
  }
  event.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(1, woken.load());
}

TEST(NativeEvent, WaitTimesOutWithoutSignal) {
  NativeEvent event(true);
  uint64_t start = MonotonicMilliseconds();
  EXPECT_FALSE(event.Wait(50));
  EXPECT_GE(MonotonicMilliseconds() - start, 45u);
}

TEST(NativeEvent, SetFromAnotherThreadWakesAnUnlimitedWait) {
  NativeEvent event(false);
  std::thread setter([&] { event.Set(); });
  EXPECT_TRUE(event.Wait(kInfinite));
  setter.join();
}

TEST(NativeEvent, WaitAnyReportsTheFirstSignalledPosition) {
  NativeEvent a(true), b(false), c(true);
  NativeEvent* list[3] = {&a, &b, &c};
  EXPECT_EQ(-1, NativeEvent::WaitAny(list, 3, 0));
  c.Set();
  b.Set();
  EXPECT_EQ(1, NativeEvent::WaitAny(list, 3, 0));  // lowest position wins
  // b was automatic and is consumed; c is manual and still set.
  EXPECT_EQ(2, NativeEvent::WaitAny(list, 3, 0));
  EXPECT_EQ(2, NativeEvent::WaitAny(list, 3, 0));
  EXPECT_FALSE(b.Wait(0));
}

TEST(NativeEvent, WaitAnyRejectsEmptyOrBrokenLists) {
  NativeEvent a(true);
  a.Set();
  uint64_t start = MonotonicMilliseconds();
  EXPECT_EQ(-1, NativeEvent::WaitAny(nullptr, 0, 1000));
  NativeEvent* withNull[2] = {&a, nullptr};
  EXPECT_EQ(-1, NativeEvent::WaitAny(withNull, 2, 1000));
  EXPECT_LT(MonotonicMilliseconds() - start, 500u);  // no waiting at all
}

}  // namespace
