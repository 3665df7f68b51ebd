// Real H.264 for the simulated cameras: a loop of pictures encoded once per
// encoder setting with libx264, and its RTP payloads (RFC 6184) prepared
// once per packetization variant, shared by every session.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>
#include <vector>

namespace kestrum {
namespace sim {

using Bytes = std::vector<uint8_t>;

struct EncoderSettings {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t framerate = 25;
  uint32_t keyframe = 25;  // pictures from one key frame to the next
  uint32_t quality = 22;   // 2..52, lower is better (constant quality)
  uint32_t bitrate = 0;    // kbit/s; non-zero: constant bit rate instead

  auto Key() const { return std::make_tuple(width, height, framerate, keyframe, quality, bitrate); }
};

// NAL units without start codes, per access unit; the loop starts with an
// IDR picture, so it can be repeated without a seam the decoder notices.
struct EncodedLoop {
  std::vector<std::vector<Bytes>> accessUnits;
  Bytes sps;
  Bytes pps;
  uint32_t framerate = 25;
};

struct PacketOptions {
  bool inbandParameterSets = true;  // SPS and PPS before every IDR picture
  bool stapA = false;               // SPS and PPS as one aggregation packet
  bool seiAndDelimiters = false;    // access-unit delimiter and SEI in every picture

  auto Key() const { return std::make_tuple(inbandParameterSets, stapA, seiAndDelimiters); }
};

struct RtpPayload {
  Bytes bytes;
  bool marker = false;  // last packet of its access unit
};

struct PacketizedLoop {
  std::vector<std::vector<RtpPayload>> accessUnits;
  Bytes sps;
  Bytes pps;
  uint32_t framerate = 25;
  uint64_t payloadBytes = 0;
};

// Largest NAL unit sent whole; larger ones go as FU-A fragments.
constexpr size_t kMaxSinglePacket = 1400;

// Encodes the loop; null when the encoder refuses the settings.
std::shared_ptr<const EncodedLoop> EncodeLoop(const EncoderSettings& settings);
// Splits a loop into RTP payloads: single NAL unit packets and FU-A.
std::shared_ptr<const PacketizedLoop> Packetize(const EncodedLoop& loop, const PacketOptions& options);

class H264StreamCache {
 public:
  std::shared_ptr<const PacketizedLoop> Get(const EncoderSettings& settings, const PacketOptions& options);

 private:
  struct Entry {
    std::once_flag done;
    std::shared_ptr<const EncodedLoop> encoded;
  };
  struct PacketEntry {
    std::once_flag done;
    std::shared_ptr<const PacketizedLoop> packets;
  };
  using EncoderKey = decltype(EncoderSettings{}.Key());
  using PacketKey = std::tuple<EncoderKey, decltype(PacketOptions{}.Key())>;

  std::mutex mutex_;  // guards the maps only; encoding runs outside it
  std::map<EncoderKey, std::shared_ptr<Entry>> encoded_;
  std::map<PacketKey, std::shared_ptr<PacketEntry>> packets_;
};

}  // namespace sim
}  // namespace kestrum
