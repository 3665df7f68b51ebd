// Puts RTP packets that a network reordered back in sequence order before
// they reach the depacketizer. A packet that comes early waits for those
// before it, but within bounds: at most kSlots - 1 packets and a hold time,
// after which a real loss passes on as a gap. Duplicates and packets that
// come after their place was given up are dropped; a jump of the sequence
// (a camera that restarted its stream) starts afresh. Packets that arrive in
// order are handed on at once, without a copy. A slot keeps no storage once
// its packet has gone on: the window holds memory only while it holds
// packets, not the largest it ever held in each of its slots.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rtsp/RTPPacket.h"

namespace kestrum {

class CRTPReorderWindow {
 public:
  static constexpr uint16_t kSlots = 64;
  // Packets this far behind count as late or duplicate, farther ones as a
  // restarted sequence (RFC 3550 A.1, MAX_MISORDER).
  static constexpr int kMaxMisorder = 100;
  static constexpr uint64_t kNothingHeld = ~0ull;

  // holdTicks: how long an early packet waits, in the unit of the times that
  // Push and Expire are given.
  explicit CRTPReorderWindow(uint64_t holdTicks) : holdTicks_(holdTicks) {}
  CRTPReorderWindow(const CRTPReorderWindow&) = delete;
  CRTPReorderWindow& operator=(const CRTPReorderWindow&) = delete;

  // Forgets the sequence and whatever is held (a new session).
  void Reset();

  // Hands packet (and the held ones that follow it) to deliver when it is the
  // next in order; holds a copy when it is early; drops it when it is a
  // duplicate or late. Then releases what waited its hold time.
  template <class Deliver>
  void Push(const CRTPPacket& packet, uint64_t now, Deliver&& deliver);

  // Releases the held packets whose hold time ran out, skipping the gaps
  // before them; returns the ticks until the next one runs out, or
  // kNothingHeld.
  template <class Deliver>
  uint64_t Expire(uint64_t now, Deliver&& deliver);

  size_t Held() const { return held_; }
  // Bytes of storage the slots keep (payloads, extensions, contributors).
  size_t StorageBytes() const;
  uint64_t Dropped() const { return dropped_; }

 private:
  struct Slot {
    bool held = false;
    uint64_t arrival = 0;
    CRTPPacket packet;
  };

  Slot& SlotOf(uint16_t sequence) { return slots_[sequence % kSlots]; }
  // Hands on a held packet and gives its storage back.
  template <class Deliver>
  void Release(Slot& slot, Deliver& deliver);
  // Hands on the held packets from expected_ on while there is no gap.
  template <class Deliver>
  void DeliverRun(Deliver& deliver);
  // Hands on everything held, in sequence order, gaps skipped.
  template <class Deliver>
  void Flush(Deliver& deliver);
  uint64_t OldestArrival() const;
  // Gives back a packet's buffers (assigning an empty packet would copy, and
  // a copy keeps the capacity).
  static void FreeStorage(CRTPPacket& packet);

  const uint64_t holdTicks_;
  Slot slots_[kSlots];
  bool started_ = false;
  uint16_t expected_ = 0;  // the next sequence number to hand on
  size_t held_ = 0;
  uint64_t dropped_ = 0;
};

template <class Deliver>
void CRTPReorderWindow::Push(const CRTPPacket& packet, uint64_t now, Deliver&& deliver) {
  const uint16_t sequence = packet.SequenceNumber;
  if (!started_) {
    started_ = true;
    expected_ = sequence;
  }
  const int distance = static_cast<int16_t>(static_cast<uint16_t>(sequence - expected_));
  if (distance == 0) {
    deliver(packet);
    ++expected_;
    DeliverRun(deliver);
  } else if (distance > 0 && distance < kSlots) {
    Slot& slot = SlotOf(sequence);
    if (slot.held) {
      ++dropped_;  // the slot can only hold this very sequence number
    } else {
      slot.packet = packet;
      slot.arrival = now;
      slot.held = true;
      ++held_;
    }
  } else if (distance < 0 && distance >= -kMaxMisorder) {
    ++dropped_;
  } else {
    // Beyond the window (a long loss), or a new sequence: what is held goes
    // on first, then this packet starts the sequence afresh.
    Flush(deliver);
    deliver(packet);
    expected_ = static_cast<uint16_t>(sequence + 1);
  }
  if (held_ != 0) Expire(now, deliver);
}

template <class Deliver>
uint64_t CRTPReorderWindow::Expire(uint64_t now, Deliver&& deliver) {
  while (held_ != 0) {
    const uint64_t oldest = OldestArrival();
    if (now < oldest + holdTicks_) return oldest + holdTicks_ - now;
    // The packets missing before the first held one are taken as lost.
    while (!SlotOf(expected_).held) ++expected_;
    DeliverRun(deliver);
  }
  return kNothingHeld;
}

template <class Deliver>
void CRTPReorderWindow::DeliverRun(Deliver& deliver) {
  while (held_ != 0) {
    Slot& slot = SlotOf(expected_);
    if (!slot.held) return;
    ++expected_;
    Release(slot, deliver);
  }
}

template <class Deliver>
void CRTPReorderWindow::Release(Slot& slot, Deliver& deliver) {
  slot.held = false;
  --held_;
  deliver(static_cast<const CRTPPacket&>(slot.packet));
  // Kept, each slot would grow to the largest packet it ever held: a
  // camera's loss and reordering would cost it up to a whole window for good.
  FreeStorage(slot.packet);
}

template <class Deliver>
void CRTPReorderWindow::Flush(Deliver& deliver) {
  for (uint16_t step = 0; step < kSlots && held_ != 0; ++step) {
    Slot& slot = SlotOf(static_cast<uint16_t>(expected_ + step));
    if (!slot.held) continue;
    Release(slot, deliver);
  }
}

}  // namespace kestrum
