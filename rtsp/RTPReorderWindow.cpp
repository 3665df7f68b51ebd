#include "rtsp/RTPReorderWindow.h"

namespace kestrum {

void CRTPReorderWindow::Reset() {
  for (Slot& slot : slots_) {
    slot.held = false;
    FreeStorage(slot.packet);
  }
  started_ = false;
  expected_ = 0;
  held_ = 0;
}

void CRTPReorderWindow::FreeStorage(CRTPPacket& packet) {
  std::vector<uint8_t>().swap(packet.Payload);
  std::vector<uint8_t>().swap(packet.Extension);
  std::vector<uint32_t>().swap(packet.Csrcs);
}

size_t CRTPReorderWindow::StorageBytes() const {
  size_t bytes = 0;
  for (const Slot& slot : slots_) {
    bytes += slot.packet.Payload.capacity() + slot.packet.Extension.capacity() +
             slot.packet.Csrcs.capacity() * sizeof(uint32_t);
  }
  return bytes;
}

uint64_t CRTPReorderWindow::OldestArrival() const {
  uint64_t oldest = kNothingHeld;
  for (const Slot& slot : slots_) {
    if (slot.held && slot.arrival < oldest) oldest = slot.arrival;
  }
  return oldest;
}

}  // namespace kestrum
