// The reorder window on the UDP path: order restored within its bounds,
// losses passed on after the hold time, duplicates, wrap, jumps, memory.
#include "rtsp/RTPReorderWindow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

using namespace kestrum;

namespace {

constexpr uint64_t kHold = 50;

CRTPPacket Packet(uint16_t sequence) {
  CRTPPacket packet;
  packet.SequenceNumber = sequence;
  packet.Payload = {static_cast<uint8_t>(sequence), static_cast<uint8_t>(sequence >> 8)};
  return packet;
}

class ReorderWindow : public ::testing::Test {
 protected:
  void Push(uint16_t sequence, uint64_t now = 0) {
    const CRTPPacket packet = Packet(sequence);
    window_.Push(packet, now, [this](const CRTPPacket& p) { Take(p); });
  }
  uint64_t Expire(uint64_t now) {
    return window_.Expire(now, [this](const CRTPPacket& p) { Take(p); });
  }
  void Take(const CRTPPacket& p) {
    // The payload travels with the packet, also when it was held.
    ASSERT_EQ((std::vector<uint8_t>{static_cast<uint8_t>(p.SequenceNumber), static_cast<uint8_t>(p.SequenceNumber >> 8)}),
              p.Payload);
    out_.push_back(p.SequenceNumber);
  }
  static std::vector<uint16_t> Run(uint16_t first, size_t count) {
    std::vector<uint16_t> run(count);
    for (size_t i = 0; i < count; ++i) run[i] = static_cast<uint16_t>(first + i);
    return run;
  }

  CRTPReorderWindow window_{kHold};
  std::vector<uint16_t> out_;
};

TEST_F(ReorderWindow, InOrderPacketsPassAtOnce) {
  for (uint16_t s = 1000; s < 1200; ++s) {
    Push(s);
    ASSERT_EQ(s, out_.back()) << "handed on within its own Push";
    ASSERT_EQ(0u, window_.Held());
  }
  EXPECT_EQ(CRTPReorderWindow::kNothingHeld, Expire(0));
  EXPECT_EQ(0u, window_.Dropped());
}

TEST_F(ReorderWindow, EveryPermutationWithinTheWindowIsRestored) {
  // Every order of a block of five, at several places of the sequence space
  // (the wrap from 65535 to 0 included).
  for (uint16_t base : {uint16_t{0}, uint16_t{300}, uint16_t{65533}, uint16_t{65535}}) {
    std::vector<int> order = {0, 1, 2, 3, 4};
    do {
      window_.Reset();
      out_.clear();
      Push(static_cast<uint16_t>(base - 1));
      for (int i : order) Push(static_cast<uint16_t>(base + i));
      Push(static_cast<uint16_t>(base + 5));
      ASSERT_EQ(Run(static_cast<uint16_t>(base - 1), 7), out_) << "base " << base;
      ASSERT_EQ(0u, window_.Held());
    } while (std::next_permutation(order.begin(), order.end()));
  }
  // Long shuffles: every packet at most 63 places from its own.
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    window_.Reset();
    out_.clear();
    const uint16_t first = static_cast<uint16_t>(random());
    std::vector<uint16_t> sent = Run(first, 2000);
    // Swaps that do not overlap, so that none moves a packet farther. The
    // first packet starts the sequence, so it stays first.
    for (size_t i = 1; i + 1 < sent.size();) {
      const size_t j = std::min(sent.size() - 1, i + random() % 63);
      std::swap(sent[i], sent[j]);
      i = j + 1 + random() % 40;
    }
    for (uint16_t s : sent) Push(s);
    ASSERT_EQ(Run(first, 2000), out_) << "round " << round;
    EXPECT_EQ(0u, window_.Dropped());
  }
}

TEST_F(ReorderWindow, ALossIsPassedOnAsAGapAfterTheHoldTime) {
  Push(10, 1000);
  Push(12, 1000);
  Push(13, 1010);
  EXPECT_EQ((std::vector<uint16_t>{10}), out_);
  EXPECT_EQ(2u, window_.Held());
  EXPECT_EQ(1u, Expire(1049)) << "the oldest held packet came at 1000";
  EXPECT_EQ((std::vector<uint16_t>{10}), out_);
  EXPECT_EQ(CRTPReorderWindow::kNothingHeld, Expire(1050));
  EXPECT_EQ((std::vector<uint16_t>{10, 12, 13}), out_) << "11 is lost: the gap goes on to the depacketizer";
  Push(11, 1060);
  EXPECT_EQ(1u, window_.Dropped()) << "too late once its place was given up";
  Push(14, 1060);
  EXPECT_EQ((std::vector<uint16_t>{10, 12, 13, 14}), out_);

  // The hold time also runs out under steady traffic, without Expire.
  out_.clear();
  Push(16, 2000);
  for (uint64_t t = 2001; t < 2049; ++t) Push(static_cast<uint16_t>(17 + (t - 2001)), t);
  EXPECT_TRUE(out_.empty()) << "15 still awaited";
  Push(65, 2050);
  ASSERT_FALSE(out_.empty());
  EXPECT_EQ(16, out_.front());
  EXPECT_EQ(65, out_.back());
  EXPECT_EQ(0u, window_.Held());
}

TEST_F(ReorderWindow, DuplicatesAreDropped) {
  for (uint16_t s : {0, 1, 1, 3, 3, 2, 2, 0, 4}) Push(s);
  EXPECT_EQ(Run(0, 5), out_);
  EXPECT_EQ(4u, window_.Dropped());
}

TEST_F(ReorderWindow, ALossLongerThanTheWindowFlushesAndGoesOn) {
  Push(0);
  for (uint16_t s = 2; s <= 64; ++s) Push(s);
  EXPECT_EQ(63u, window_.Held()) << "all within the window, 1 missing";
  Push(65);  // 64 places ahead of the missing 1: cannot be held
  std::vector<uint16_t> expected = {0};
  for (uint16_t s = 2; s <= 65; ++s) expected.push_back(s);
  EXPECT_EQ(expected, out_);
  Push(1);
  EXPECT_EQ(1u, window_.Dropped());
  Push(66);
  EXPECT_EQ(66, out_.back());
}

TEST_F(ReorderWindow, AJumpOfTheSequenceStartsAfresh) {
  Push(100);
  Push(102);
  Push(40000);  // the camera restarted its stream
  EXPECT_EQ((std::vector<uint16_t>{100, 102, 40000}), out_);
  Push(40001);
  Push(7);  // and again, backwards, farther than any misordering
  Push(8);
  EXPECT_EQ((std::vector<uint16_t>{100, 102, 40000, 40001, 7, 8}), out_);
  EXPECT_EQ(0u, window_.Held());
}

TEST_F(ReorderWindow, AFloodOfFarFutureNumbersHoldsNoMoreThanTheWindow) {
  std::mt19937 random(11);
  uint64_t pushed = 0;
  for (int i = 0; i < 200000; ++i) {
    Push(static_cast<uint16_t>(random()), static_cast<uint64_t>(i / 100));
    ++pushed;
    ASSERT_LT(window_.Held(), static_cast<size_t>(CRTPReorderWindow::kSlots));
  }
  Expire(1u << 30);
  EXPECT_EQ(0u, window_.Held());
  EXPECT_EQ(pushed, out_.size() + window_.Dropped()) << "every packet delivered once or dropped";
}

// A long recording's loss and reordering touch every slot in turn; the
// window must not keep each slot's largest packet once it has gone on.
TEST_F(ReorderWindow, KeepsNoStorageOnceItsPacketsHaveGoneOn) {
  CRTPPacket big;
  big.Payload.assign(1400, 0x5A);
  big.Extension.assign(16, 1);
  big.Csrcs.assign(3, 7);
  std::vector<uint16_t> delivered;
  auto take = [&](const CRTPPacket& p) {
    ASSERT_EQ(1400u, p.Payload.size()) << "the payload goes on whole";
    delivered.push_back(p.SequenceNumber);
  };
  uint64_t now = 0;
  size_t mostStored = 0;
  big.SequenceNumber = 0;
  window_.Push(big, now, take);
  // Pairs swapped, then a loss held to its hold time, all around the window.
  for (uint16_t s = 1; s < 4 * CRTPReorderWindow::kSlots; s += 2) {
    big.SequenceNumber = static_cast<uint16_t>(s + 1);
    window_.Push(big, now, take);
    mostStored = std::max(mostStored, window_.StorageBytes());
    big.SequenceNumber = s;
    window_.Push(big, now, take);
    now += 1;
  }
  big.SequenceNumber = static_cast<uint16_t>(4 * CRTPReorderWindow::kSlots + 2);
  window_.Push(big, now, take);
  EXPECT_EQ(1u, window_.Held());
  EXPECT_GE(window_.StorageBytes(), 1400u) << "a held packet keeps its bytes";
  window_.Expire(now + kHold, take);
  EXPECT_EQ(4u * CRTPReorderWindow::kSlots + 2, delivered.size()) << "every packet but the lost one";
  EXPECT_GE(mostStored, 1400u);
  EXPECT_EQ(0u, window_.StorageBytes()) << "nothing held, nothing kept";
  // A new session forgets what was held, storage included.
  big.SequenceNumber = 9000;
  window_.Push(big, now, take);
  big.SequenceNumber = 9002;
  window_.Push(big, now, take);
  window_.Reset();
  EXPECT_EQ(0u, window_.StorageBytes());
}

}  // namespace
