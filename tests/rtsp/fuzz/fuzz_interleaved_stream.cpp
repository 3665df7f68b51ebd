// The byte stream of an RTSP connection carrying interleaved RTP, fed in
// pieces whose sizes the input chooses.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rtsp/RTPPacket.h"
#include "rtsp/RTPReceiverUser.h"
#include "rtsp/RTSPStreamParser.h"

namespace {

class Checker : public kestrum::IRTPReceiverUser {
 public:
  void OnPacket(kestrum::CRTPPacket* packet) override {
    // A frame holds at most 65535 bytes, 12 of them the header at least.
    if (packet->Payload.size() > 65535 - 12) __builtin_trap();
    if (packet->Csrcs.size() != packet->CsrcCount) __builtin_trap();
  }
  void OnPacketFrom(const kestrum::SOCKET_ADDRESS_V4*, kestrum::CRTPPacket*) override { __builtin_trap(); }
  void OnReceiveTimeout() override {}
  void OnTransportClosed() override {}
  void OnParameterSets(const std::vector<uint8_t>*) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t step = 1 + data[0] % 64;  // the size of each piece
  Checker owner;
  kestrum::CRTSPStreamParser parser(&owner);
  parser.SetRtpChannel(static_cast<uint8_t>(data[0] / 64));  // the channel a server may name
  for (size_t at = 1; at < size; at += step) {
    const size_t piece = size - at < step ? size - at : step;
    parser.Feed(data + at, piece);
  }
  return 0;
}
