// Base of the parsers that take RTP packets: the sequence check, the frame
// buffer of the unit being assembled, and the parameter sets from the
// session description.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrum {

class CRTPPacket;
class IDriver;
class IMediaParserClient;

class CRTPMediaParser {
 public:
  static constexpr size_t kMaxFrameBytes = 10485760;  // 10 MiB

  explicit CRTPMediaParser(IDriver* driver) : driver_(driver) {}
  virtual ~CRTPMediaParser() = default;
  CRTPMediaParser(const CRTPMediaParser&) = delete;
  CRTPMediaParser& operator=(const CRTPMediaParser&) = delete;

  void SetClient(IMediaParserClient* client) { client_ = client; }
  // One packet, in arrival order; finished frames reach the client before
  // this returns.
  virtual void ProcessPacket(const CRTPPacket& packet) = 0;
  virtual void Reset() = 0;
  // SPS, PPS and a third set (MPEG-4 configuration), out of band.
  virtual void SetParameterSets(const std::vector<uint8_t>* sets);

  uint32_t GetWidth() const { return width_; }
  uint32_t GetHeight() const { return height_; }

 protected:
  // True when the packet follows the last one (the first one always does).
  bool CheckSequence(uint16_t sequence);
  // False, after logging, when the frame buffer holds more than 10 MiB.
  bool CheckBufferSize();

  uint16_t lastSequence_ = 0;
  bool firstPacket_ = true;
  IDriver* driver_;
  IMediaParserClient* client_ = nullptr;
  std::vector<uint8_t> frame_;  // emptied, never freed, between units
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  std::vector<uint8_t> sets_[3];
};

}  // namespace kestrum
