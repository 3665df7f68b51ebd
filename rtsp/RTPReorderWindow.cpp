#include "rtsp/RTPReorderWindow.h"

namespace kestrum {

void CRTPReorderWindow::Reset() {
  for (Slot& slot : slots_) slot.held = false;
  started_ = false;
  expected_ = 0;
  held_ = 0;
}

uint64_t CRTPReorderWindow::OldestArrival() const {
  uint64_t oldest = kNothingHeld;
  for (const Slot& slot : slots_) {
    if (slot.held && slot.arrival < oldest) oldest = slot.arrival;
  }
  return oldest;
}

}  // namespace kestrum
