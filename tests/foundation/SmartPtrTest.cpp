#include "foundation/SmartPtr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using kestrum::TSmartPtr;

namespace {

struct Tracked {
  explicit Tracked(std::atomic<int>& d) : destroyed(d) {}
  virtual ~Tracked() { ++destroyed; }
  std::atomic<int>& destroyed;
};

TEST(SmartPtr, CopiesShareAndTheLastReleaseDestroys) {
  std::atomic<int> destroyed{0};
  TSmartPtr<Tracked> a(new Tracked(destroyed));
  {
    TSmartPtr<Tracked> b(a);
    TSmartPtr<Tracked> c;
    c = b;
    EXPECT_EQ(a.Get(), b.Get());
    EXPECT_EQ(a.Get(), c.Get());
    a.Release();
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(0, destroyed.load());
  }
  EXPECT_EQ(1, destroyed.load());
}

TEST(SmartPtr, ResetReleasesTheOldObjectAndStartsAFreshCount) {
  std::atomic<int> destroyed{0};
  TSmartPtr<Tracked> a(new Tracked(destroyed));
  TSmartPtr<Tracked> b(a);
  a.Reset(new Tracked(destroyed));
  EXPECT_NE(a.Get(), b.Get());
  EXPECT_EQ(0, destroyed.load());  // b still holds the first
  b.Release();
  EXPECT_EQ(1, destroyed.load());
  a.Release();
  EXPECT_EQ(2, destroyed.load());
}

TEST(SmartPtr, EmptyCopiesAndTheCounterLimit) {
  TSmartPtr<Tracked> empty;
  TSmartPtr<Tracked> copy(empty);
  EXPECT_TRUE(copy.IsEmpty());

  std::atomic<int> destroyed{0};
  TSmartPtr<Tracked> first(new Tracked(destroyed));
  std::vector<TSmartPtr<Tracked>> copies;
  copies.reserve(200);
  for (int i = 0; i < 126; ++i) copies.emplace_back(first);  // count is now 127
  for (const auto& held : copies) EXPECT_FALSE(held.IsEmpty());
  TSmartPtr<Tracked> overflow(first);
  EXPECT_TRUE(overflow.IsEmpty()) << "a one-byte counter cannot count further";
  copies.clear();
  first.Release();
  EXPECT_EQ(1, destroyed.load());
}

TEST(SmartPtr, ConcurrentCopyAndReleaseOfOneHolder) {
  for (int round = 0; round < 200; ++round) {
    std::atomic<int> destroyed{0};
    auto* holder = new TSmartPtr<Tracked>(new Tracked(destroyed));
    std::atomic<bool> go{false};
    std::vector<std::thread> copiers;
    for (int t = 0; t < 3; ++t) {
      copiers.emplace_back([&] {
        while (!go) {
        }
        for (int i = 0; i < 20; ++i) {
          TSmartPtr<Tracked> copy(*holder);
          if (!copy.IsEmpty()) {
            EXPECT_EQ(0, destroyed.load());  // alive while held
          }
        }
      });
    }
    go = true;
    holder->Release();  // races with the copies
    for (auto& t : copiers) t.join();
    EXPECT_EQ(1, destroyed.load());
    delete holder;
  }
}

}  // namespace
