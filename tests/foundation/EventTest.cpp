#include "foundation/Event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using kestrum::CEvent;
using kestrum::CManualEvent;
using kestrum::WaitForAny;

namespace {

TEST(Events, ManualAndAutomaticReset) {
  CManualEvent manual;
  CEvent automatic(false);
  EXPECT_FALSE(manual.Wait(0));
  EXPECT_TRUE(manual.Set());
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Reset());
  EXPECT_FALSE(manual.Wait(0));

  EXPECT_TRUE(automatic.Set());
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));
}

TEST(Events, WaitForAnyGivesThePositionOfTheSignalledEvent) {
  CManualEvent stop;
  CEvent item(false);
  CEvent* events[2] = {&stop, &item};
  EXPECT_EQ(-1, WaitForAny(events, 2, 10));

  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    item.Set();
  });
  EXPECT_EQ(1, WaitForAny(events, 2, 5000));
  producer.join();
  EXPECT_FALSE(item.Wait(0)) << "the automatic event was consumed by the wait";

  stop.Set();
  item.Set();
  EXPECT_EQ(0, WaitForAny(events, 2, 0)) << "the first position wins when several are set";
  EXPECT_TRUE(item.Wait(0)) << "... and the others are left as they were";
}

TEST(Events, WaitForAnyWithAnEmptyListReturnsAtOnce) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(-1, WaitForAny(nullptr, 0, 10000));
  CEvent* none[1] = {nullptr};
  EXPECT_EQ(-1, WaitForAny(none, 1, 10000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
