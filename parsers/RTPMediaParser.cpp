#include "parsers/RTPMediaParser.h"

#include "driver/DeviceInfo.h"
#include "driver/IDriver.h"

namespace kestrum {

void CRTPMediaParser::SetParameterSets(const std::vector<uint8_t>* sets) {
  if (sets == nullptr) return;
  for (int i = 0; i < 3; ++i) sets_[i] = sets[i];
}

bool CRTPMediaParser::CheckSequence(uint16_t sequence) {
  const bool inSequence = firstPacket_ || sequence == static_cast<uint16_t>(lastSequence_ + 1);
  firstPacket_ = false;
  lastSequence_ = sequence;
  return inSequence;
}

bool CRTPMediaParser::CheckBufferSize() {
  if (frame_.size() <= kMaxFrameBytes) return true;
  if (driver_ != nullptr) {
    const DEVICE_INFO* device = driver_->GetDeviceInfo();
    driver_->Message(1, "%s: Frame buffer overflow detected, device %s:%u", "kestrum::CRTPMediaParser::CheckBufferSize",
                     device != nullptr ? device->Address.c_str() : "",
                     device != nullptr ? static_cast<unsigned>(device->Port) : 0u);
  }
  return false;
}

}  // namespace kestrum
