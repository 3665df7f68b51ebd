#include "foundation/QueueThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/support/RecordingLog.h"
#include "tests/support/TestUtil.h"

using kestrum::CManualEvent;
using kestrum::CQueueThread;
using kestrum::testing::RecordingLog;

namespace {

std::atomic<int> g_destroyed{0};

struct Item {
  explicit Item(int v) : value(v) {}
  virtual ~Item() { ++g_destroyed; }
  int value;
};

class Recorder : public CQueueThread<Item> {
 public:
  explicit Recorder(RecordingLog* log) : CQueueThread<Item>(log) {}
  ~Recorder() override { Stop(); }

  std::vector<int> Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  CManualEvent gate;  // Process waits on it when an item's value is negative
  CManualEvent blocked;

 protected:
  void Process(Item* item) override {
    if (item->value == 13) throw std::runtime_error("unlucky item");
    if (item->value < 0) {
      blocked.Set();
      gate.Wait(kestrum::kWaitInfinite);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(item->value);
  }

 private:
  std::mutex mutex_;
  std::vector<int> seen_;
};

bool WaitForCount(Recorder& r, size_t n) {
  return kestrum::testing::WaitUntil([&] { return r.Seen().size() >= n; });
}

TEST(QueueThread, ProcessesInOrderAndSurvivesAThrowingItem) {
  g_destroyed = 0;
  RecordingLog log;
  Recorder recorder(&log);
  ASSERT_TRUE(recorder.Start("queue"));
  for (int v : {1, 2, 13, 3, 4}) EXPECT_TRUE(recorder.Push(new Item(v)));
  ASSERT_TRUE(WaitForCount(recorder, 4));
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4}), recorder.Seen());
  EXPECT_TRUE(recorder.Stop());
  EXPECT_EQ(5, g_destroyed.load()) << "every item is destroyed once, the thrower included";
}

TEST(QueueThread, StopDropsQueuedItemsAndRefusesLaterPushes) {
  g_destroyed = 0;
  RecordingLog log;
  Recorder recorder(&log);
  ASSERT_TRUE(recorder.Start("queue"));
  ASSERT_TRUE(recorder.Push(new Item(-1)));  // holds the worker inside Process
  ASSERT_TRUE(recorder.blocked.Wait(5000));
  for (int v = 10; v < 15; ++v) ASSERT_TRUE(recorder.Push(new Item(v == 13 ? 99 : v)));

  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    recorder.gate.Set();
  });
  EXPECT_TRUE(recorder.Stop());
  releaser.join();
  EXPECT_EQ((std::vector<int>{-1}), recorder.Seen()) << "queued items are dropped, not processed";
  EXPECT_EQ(6, g_destroyed.load());

  EXPECT_FALSE(recorder.Push(new Item(7)));
  EXPECT_EQ(7, g_destroyed.load()) << "a refused item is destroyed at once";

  // A new start accepts items again.
  ASSERT_TRUE(recorder.Start("queue again"));
  EXPECT_TRUE(recorder.Push(new Item(8)));
  ASSERT_TRUE(WaitForCount(recorder, 2));
  EXPECT_EQ(8, recorder.Seen().back());
}

TEST(QueueThread, ManyProducersLoseNothing) {
  RecordingLog log;
  Recorder recorder(&log);
  ASSERT_TRUE(recorder.Start("queue"));
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < 500; ++i) recorder.Push(new Item(p * 1000 + 100 + i));  // never the throwing 13
    });
  }
  for (auto& t : producers) t.join();
  ASSERT_TRUE(WaitForCount(recorder, 2000));
  auto seen = recorder.Seen();
  // Each producer's items keep their relative order.
  for (int p = 0; p < 4; ++p) {
    int last = -1;
    for (int v : seen) {
      if (v / 1000 == p) {
        EXPECT_GT(v, last);
        last = v;
      }
    }
  }
}

}  // namespace
