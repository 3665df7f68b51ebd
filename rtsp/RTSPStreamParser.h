// Cuts the byte stream of an RTSP connection that carries RTP interleaved
// (RFC 2326, 10.12: "$", channel, 16-bit length, data) into RTP packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace kestrum {

class IRTPReceiverUser;

class CRTSPStreamParser {
 public:
  explicit CRTSPStreamParser(IRTPReceiverUser* owner) : owner_(owner) {}
  virtual ~CRTSPStreamParser() = default;

  // Each complete, valid RTP packet on the RTP channel reaches the owner's
  // OnPacket before this returns; state carries over between chunks.
  void Feed(const uint8_t* data, size_t size);
  // The channel the server named for RTP in its Transport answer (0 unless
  // set); frames on every other channel are skipped.
  void SetRtpChannel(uint8_t channel) { rtpChannel_ = channel; }
  // Whole frames of the RTCP channel (the RTP channel + 1), and the sequence
  // number of each RTP packet handed on: for the receiver reports.
  void SetRtcpHandler(std::function<void(const uint8_t* data, size_t size)> handler) { rtcp_ = std::move(handler); }
  void SetSequenceObserver(std::function<void(uint16_t sequence)> observer) { sequences_ = std::move(observer); }

  uint64_t FramesSkipped() const { return skipped_; }

 private:
  enum class State { Hunting, Channel, LengthHigh, LengthLow, Payload, Skipping };

  // Between frames the marker is looked for (past an RTSP response or
  // garbage); inside a frame nothing is searched: a frame on any channel but
  // the RTP one is skipped by its length, so bytes in it can never pass for
  // a marker.
  void FrameDone();

  IRTPReceiverUser* owner_;
  State state_ = State::Hunting;
  uint8_t rtpChannel_ = 0;
  std::function<void(const uint8_t*, size_t)> rtcp_;
  std::function<void(uint16_t)> sequences_;
  uint8_t channel_ = 0;
  uint32_t remaining_ = 0;
  std::vector<uint8_t> payload_;
  uint64_t skipped_ = 0;
};

}  // namespace kestrum
