// One RTP datagram.
#include <cstddef>
#include <cstdint>

#include "rtsp/RTPPacket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kestrum::CRTPPacket packet;
  if (!packet.Parse(data, size)) {
    if (!packet.Payload.empty() || !packet.Csrcs.empty() || !packet.Extension.empty()) __builtin_trap();
    return 0;
  }
  // The parts account for the datagram: nothing read past its end.
  const size_t used = 12 + packet.Csrcs.size() * 4 + (packet.Extension.empty() && packet.ExtensionLength == 0 &&
                                                              (data[0] & 0x10) == 0
                                                          ? 0
                                                          : 4 + packet.Extension.size()) +
                      packet.Payload.size();
  if (used > size) __builtin_trap();
  if (packet.Extension.size() != packet.ExtensionLength * 4u) __builtin_trap();
  if (packet.Csrcs.size() != packet.CsrcCount) __builtin_trap();
  // Parsing again into the same packet starts from a clean slate.
  if (!packet.Parse(data, size)) __builtin_trap();
  return 0;
}
