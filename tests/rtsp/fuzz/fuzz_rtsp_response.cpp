// An RTSP response, as any method; DESCRIBE carries a session description.
#include <cstddef>
#include <cstdint>
#include <string>

#include "rtsp/RTSPResponseParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint32_t method = data[0] % 7;  // 0 and the six method codes
  const std::string response(reinterpret_cast<const char*>(data + 1), size - 1);
  kestrum::CRTSPResponseParser parser;
  parser.Parse(method, response);
  // Bounded however long the input: a parameter set never exceeds 64 KiB.
  for (const auto& set : parser.ParameterSets) {
    if (set.size() > 65536) __builtin_trap();
  }
  // A second response on the same parser, as the client reuses it.
  parser.Parse(1, response);
  return 0;
}
