#include "foundation/TickThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support/RecordingLog.h"
#include "tests/support/TestUtil.h"

using kestrum::testing::WaitUntil;

using kestrum::TTickThread;
using kestrum::testing::RecordingLog;

namespace {

struct Counter {
  std::atomic<int> ticks{0};
  void Tick() { ++ticks; }
};

TEST(TickThread, TicksAtStartThenEveryPeriod) {
  RecordingLog log;
  Counter counter;
  TTickThread<Counter> thread(&log, &counter, &Counter::Tick);
  thread.SetPeriod(30);
  ASSERT_TRUE(thread.Start("ticker"));
  EXPECT_TRUE(WaitUntil([&] { return counter.ticks.load() >= 4; }, 5000));
  EXPECT_TRUE(thread.Stop());
  int afterStop = counter.ticks.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(afterStop, counter.ticks.load()) << "no tick after Stop returned";
  EXPECT_TRUE(log.Lines().empty());
}

TEST(TickThread, FirstTickIsImmediateAndStopInterruptsALongPeriod) {
  RecordingLog log;
  Counter counter;
  TTickThread<Counter> thread(&log, &counter, &Counter::Tick);
  thread.SetPeriod(60000);
  ASSERT_TRUE(thread.Start("slow ticker"));
  EXPECT_TRUE(WaitUntil([&] { return counter.ticks.load() == 1; }, 5000));
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(thread.Stop());
  // Stop must cut the 60 s wait short, well within its own 5000 ms limit.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
  EXPECT_EQ(1, counter.ticks.load());
  EXPECT_TRUE(log.Lines().empty());
}

TEST(TickThread, WithoutOwnerTicksDoNothing) {
  RecordingLog log;
  TTickThread<Counter> thread(&log, nullptr, &Counter::Tick);
  thread.SetPeriod(5);
  ASSERT_TRUE(thread.Start("empty"));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(thread.Stop());
}

}  // namespace
