#include "foundation/BaseThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/Thread.h"
#include "tests/support/RecordingLog.h"

using kestrum::CBaseThread;
using kestrum::CManualEvent;
using kestrum::testing::RecordingLog;

namespace {

// A worker whose body is chosen per test.
class Worker : public CBaseThread {
 public:
  enum class Body { HonourStop, IgnoreStopButWait, IgnoreStopFor300ms, JoinSelf, BusyUntilReleased };

  Worker(RecordingLog* log, Body body) : CBaseThread(log), body_(body) {}
  ~Worker() override { StopThread(2000); }

  std::atomic<int> runs{0};
  std::atomic<bool> selfJoinResult{true};
  std::atomic<bool> selfStopResult{true};
  std::atomic<bool> busy{true};
  std::atomic<bool> finished{false};
  std::atomic<uint32_t> systemIdSeen{0};
  CManualEvent entered;

 protected:
  void Run() override {
    ++runs;
    systemIdSeen = kestrum::platform::CurrentSystemThreadId();
    entered.Set();
    switch (body_) {
      case Body::HonourStop:
        StopEvent().Wait(kestrum::kWaitInfinite);
        break;
      case Body::IgnoreStopButWait:
        never_.Wait(kestrum::kWaitInfinite);
        break;
      case Body::IgnoreStopFor300ms:
        never_.Wait(300);
        break;
      case Body::JoinSelf:
        selfJoinResult = JoinThread(1000);
        selfStopResult = StopThread(1000);
        break;
      case Body::BusyUntilReleased:
        while (busy.load()) std::this_thread::yield();
        break;
    }
    finished = true;  // the body's last touch of this object
  }

 private:
  Body body_;
  CManualEvent never_;
};

TEST(BaseThread, StartStopAndStartAgain) {
  RecordingLog log;
  Worker worker(&log, Worker::Body::HonourStop);
  ASSERT_TRUE(worker.Start("worker"));
  EXPECT_NE(0u, worker.GetThreadId());
  EXPECT_EQ("worker", worker.GetName());
  ASSERT_TRUE(worker.entered.Wait(5000));
  EXPECT_TRUE(worker.StopThread(2000));
  worker.entered.Reset();
  ASSERT_TRUE(worker.Start("worker"));
  ASSERT_TRUE(worker.entered.Wait(5000));
  EXPECT_TRUE(worker.JoinThread(2000));
  EXPECT_EQ(2, worker.runs.load());
  EXPECT_TRUE(log.Lines().empty());
}

TEST(BaseThread, SecondStartWhileRunningIsRefused) {
  RecordingLog log;
  Worker worker(&log, Worker::Body::HonourStop);
  ASSERT_TRUE(worker.Start("first"));
  ASSERT_TRUE(worker.entered.Wait(5000));
  EXPECT_FALSE(worker.Start("second"));
  // The refused start reset the stop event but the first thread keeps running.
  EXPECT_EQ("first", worker.GetName());
  EXPECT_TRUE(worker.StopThread(2000));
  EXPECT_EQ(1, worker.runs.load());
}

TEST(BaseThread, StoppingFromInsideTheThreadReturnsFalseWithoutDeadlock) {
  RecordingLog log;
  Worker worker(&log, Worker::Body::JoinSelf);
  ASSERT_TRUE(worker.Start("self"));
  ASSERT_TRUE(worker.entered.Wait(5000));
  EXPECT_TRUE(worker.JoinThread(5000));
  EXPECT_FALSE(worker.selfJoinResult);
  EXPECT_FALSE(worker.selfStopResult);
}

TEST(BaseThread, JoinPastItsLimitReportsThenWaits) {
  RecordingLog log("10.1.2.3:8080");
  Worker worker(&log, Worker::Body::IgnoreStopFor300ms);
  ASSERT_TRUE(worker.Start("slow"));
  ASSERT_TRUE(worker.entered.Wait(5000));
  const uint32_t id = worker.GetThreadId();
  // The system's id, which a debugger shows, not a count of our own.
  EXPECT_EQ(worker.systemIdSeen.load(), id);
  EXPECT_NE(kestrum::platform::CurrentSystemThreadId(), id);
#if defined(__linux__)
  EXPECT_TRUE(std::filesystem::exists("/proc/self/task/" + std::to_string(id))) << "a task of this process";
#endif
  EXPECT_TRUE(worker.JoinThread(50));
  auto lines = log.Lines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(2u, lines[0].level);
  EXPECT_EQ("kestrum::CBaseThread::JoinThread: Thread (id=" + std::to_string(id) +
                ", name=\"slow\") for device 10.1.2.3:8080 was not stopped during 50 milliseconds",
            lines[0].text);
  EXPECT_EQ(3u, lines[1].level);
  EXPECT_EQ("kestrum::CBaseThread::JoinThread: Thread (id=" + std::to_string(id) +
                ", name=\"slow\") was stopped correctly",
            lines[1].text);
}

TEST(BaseThread, StopPastItsLimitTerminatesAndAllowsARestart) {
  RecordingLog log("10.1.2.3:8080");
  Worker worker(&log, Worker::Body::IgnoreStopButWait);
  ASSERT_TRUE(worker.Start("stubborn"));
  ASSERT_TRUE(worker.entered.Wait(5000));
  const uint32_t id = worker.GetThreadId();
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(worker.StopThread(100));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  auto lines = log.Lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(2u, lines[0].level);
  EXPECT_EQ("kestrum::CBaseThread::StopThread: Thread (id=" + std::to_string(id) +
                ", name=\"stubborn\") for device 10.1.2.3:8080 was not stopped during 100 milliseconds and will "
                "be terminated!",
            lines[0].text);
  worker.entered.Reset();
  ASSERT_TRUE(worker.Start("stubborn"));
  ASSERT_TRUE(worker.entered.Wait(5000));
  EXPECT_EQ(2, worker.runs.load());
  EXPECT_TRUE(worker.StopThread(100));
}

TEST(BaseThread, AThreadThatNeverWaitsIsReportedAndWaitedForNotLeftRunning) {
  RecordingLog log;
  Worker worker(&log, Worker::Body::BusyUntilReleased);
  ASSERT_TRUE(worker.Start("busy"));
  ASSERT_TRUE(worker.entered.Wait(5000));
  // Its object goes away once StopThread returns: it must not run past that.
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    worker.busy = false;
  });
  EXPECT_TRUE(worker.StopThread(50));
  EXPECT_TRUE(worker.finished) << "StopThread returned while the thread still ran";
  releaser.join();
  auto lines = log.Lines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].text.find("will be terminated!"));
  EXPECT_EQ(1u, lines[1].level);
  EXPECT_NE(std::string::npos, lines[1].text.find("could not be terminated; waiting for it to end"));
}

}  // namespace
