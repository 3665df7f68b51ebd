// Turns the RTP payload of an H.264 stream (RFC 6184, packetization modes 0
// and 1: single NAL units, STAP-A, FU-A) into access units in Annex B form,
// "H264" when they carry an SPS, "I264" otherwise.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "parsers/RTPMediaParser.h"

namespace kestrum {

class CH264RTPMediaParser : public CRTPMediaParser {
 public:
  explicit CH264RTPMediaParser(IDriver* driver);

  void ProcessPacket(const CRTPPacket& packet) override;
  // Drops the unit being assembled and waits for the next key frame.
  void Reset() override;
  // Kept when the SPS reads; then put at the front of IDR pictures whose
  // unit brought none, so a camera that sends them only in its session
  // description still records.
  void SetParameterSets(const std::vector<uint8_t>* sets) override;

  bool IsWaitingForKeyFrame() const { return waitingForKeyFrame_; }
  // Whether a unit was dropped for want of memory, or because the host gave
  // no frame for it, since the last call: a session that brings no picture
  // then says why (any thread).
  bool TakeMemoryShortage() { return memoryShort_.exchange(false); }
  bool TakeHostFrameShortage() { return noHostFrame_.exchange(false); }

 private:
  bool Depacketize(const uint8_t* payload, size_t length);
  void AppendNal(const uint8_t* nal, size_t length);
  // The stored SPS and PPS at the front of a unit that has an IDR slice but
  // no SPS.
  void PutStoredSetsFirst();
  void EmitAccessUnit(uint32_t timestamp);
  void ClearUnit();

  bool waitingForKeyFrame_ = true;
  bool frameComplete_ = true;
  bool unitHasSps_ = false;
  std::vector<uint8_t> storedSets_;  // 00 00 01 SPS 00 00 01 PPS, or empty
  std::atomic<bool> memoryShort_{false};
  std::atomic<bool> noHostFrame_{false};
};

}  // namespace kestrum
