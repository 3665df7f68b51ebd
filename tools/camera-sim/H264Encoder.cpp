#include "tools/camera-sim/H264Encoder.h"

#include <turbojpeg.h>

#include <algorithm>

extern "C" {
#include <x264.h>
}

#include "tools/camera-sim/PictureFactory.h"

namespace kestrum {
namespace sim {

namespace {

constexpr uint32_t kMinLoopPictures = 50;
constexpr uint32_t kMaxLoopPictures = 300;
constexpr uint8_t kNalSei = 6;
constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalPps = 8;
constexpr uint8_t kNalDelimiter = 9;
constexpr uint8_t kStapA = 24;
constexpr uint8_t kFuA = 28;

uint8_t NalType(const Bytes& nal) { return nal.empty() ? 0 : nal[0] & 0x1F; }

// Annex B output of x264 split at its start codes.
void AppendNals(const x264_nal_t* nals, int count, std::vector<Bytes>& out) {
  for (int i = 0; i < count; ++i) {
    const uint8_t* p = nals[i].p_payload;
    int size = nals[i].i_payload;
    // Start code: 00 00 01 or 00 00 00 01.
    int skip = (size >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1) ? 4 : 3;
    if (size <= skip) continue;
    out.emplace_back(p + skip, p + size);
  }
}

// RGB to the planar 4:2:0 picture x264 takes, straight into its planes.
bool ToI420(tjhandle converter, const std::vector<uint8_t>& rgb, uint32_t width, uint32_t height, x264_picture_t& pic) {
  unsigned char* planes[3] = {pic.img.plane[0], pic.img.plane[1], pic.img.plane[2]};
  int strides[3] = {pic.img.i_stride[0], pic.img.i_stride[1], pic.img.i_stride[2]};
  return tjEncodeYUVPlanes(converter, rgb.data(), static_cast<int>(width), 0, static_cast<int>(height), TJPF_RGB,
                           planes, strides, TJSAMP_420, 0) == 0;
}

// A user-data-unregistered SEI message (payload type 5) with a 16-byte UUID
// and a short text, as some cameras put into every picture.
Bytes SeiNal() {
  Bytes sei = {kNalSei, 5, 20};
  for (int i = 0; i < 16; ++i) sei.push_back(static_cast<uint8_t>(0xA0 + i));
  for (char c : std::string("QCAM")) sei.push_back(static_cast<uint8_t>(c));
  sei.push_back(0x80);  // rbsp trailing bits
  return sei;
}

void AddPayload(std::vector<RtpPayload>& packets, Bytes bytes, uint64_t& total) {
  total += bytes.size();
  packets.push_back(RtpPayload{std::move(bytes), false});
}

void AddNal(std::vector<RtpPayload>& packets, const Bytes& nal, uint64_t& total) {
  if (nal.size() <= kMaxSinglePacket) {
    AddPayload(packets, nal, total);
    return;
  }
  const uint8_t indicator = static_cast<uint8_t>((nal[0] & 0xE0) | kFuA);
  const uint8_t type = nal[0] & 0x1F;
  const size_t chunk = kMaxSinglePacket - 2;
  for (size_t at = 1; at < nal.size(); at += chunk) {
    const size_t size = std::min(chunk, nal.size() - at);
    uint8_t header = type;
    if (at == 1) header |= 0x80;                   // start
    if (at + size == nal.size()) header |= 0x40;  // end
    Bytes fragment = {indicator, header};
    fragment.insert(fragment.end(), nal.begin() + static_cast<long>(at), nal.begin() + static_cast<long>(at + size));
    AddPayload(packets, std::move(fragment), total);
  }
}

}  // namespace

namespace {

uint64_t LoopBits(const EncodedLoop& loop) {
  uint64_t bytes = 0;
  for (const auto& unit : loop.accessUnits) {
    for (const Bytes& nal : unit) bytes += nal.size() + 4;  // with a start code's worth of overhead
  }
  return bytes * 8;
}

std::shared_ptr<const EncodedLoop> EncodeOnce(const EncoderSettings& settings, uint32_t bitrate);

}  // namespace

std::shared_ptr<const EncodedLoop> EncodeLoop(const EncoderSettings& settings) {
  if (settings.bitrate == 0) return EncodeOnce(settings, 0);
  // A loop this short ends before the rate control settles, so the target
  // given to the encoder is corrected until the loop's own rate is close.
  uint32_t target = settings.bitrate;
  std::shared_ptr<const EncodedLoop> loop;
  for (int attempt = 0; attempt < 4; ++attempt) {
    loop = EncodeOnce(settings, target);
    if (!loop) return nullptr;
    const double seconds = static_cast<double>(loop->accessUnits.size()) / loop->framerate;
    const double kbps = static_cast<double>(LoopBits(*loop)) / seconds / 1000.0;
    const double ratio = settings.bitrate / kbps;
    if (ratio > 0.9 && ratio < 1.1) break;
    target = static_cast<uint32_t>(std::max(50.0, target * ratio));
  }
  return loop;
}

namespace {

std::shared_ptr<const EncodedLoop> EncodeOnce(const EncoderSettings& settings, uint32_t bitrate) {
  if (settings.width < 16 || settings.height < 16 || settings.width % 2 != 0 || settings.height % 2 != 0) {
    return nullptr;
  }
  x264_param_t param;
  if (x264_param_default_preset(&param, "ultrafast", "zerolatency") != 0) return nullptr;
  param.i_threads = 1;
  param.i_width = static_cast<int>(settings.width);
  param.i_height = static_cast<int>(settings.height);
  param.i_csp = X264_CSP_I420;
  param.i_fps_num = std::max(1u, settings.framerate);
  param.i_fps_den = 1;
  param.i_keyint_max = static_cast<int>(std::max(1u, settings.keyframe));
  param.i_keyint_min = param.i_keyint_max;
  param.i_scenecut_threshold = 0;
  param.i_bframe = 0;
  param.b_repeat_headers = 1;
  param.b_annexb = 1;
  param.i_log_level = X264_LOG_NONE;
  if (bitrate != 0) {
    param.rc.i_rc_method = X264_RC_ABR;
    param.rc.i_bitrate = static_cast<int>(bitrate);
    param.rc.i_vbv_max_bitrate = static_cast<int>(bitrate);
    param.rc.i_vbv_buffer_size = static_cast<int>(bitrate);
  } else {
    param.rc.i_rc_method = X264_RC_CQP;
    param.rc.i_qp_constant = static_cast<int>(std::clamp(settings.quality, 2u, 51u));
  }
  if (x264_param_apply_profile(&param, "baseline") != 0) return nullptr;

  x264_t* encoder = x264_encoder_open(&param);
  if (encoder == nullptr) return nullptr;
  tjhandle converter = tjInitCompress();
  x264_picture_t picture;
  if (converter == nullptr || x264_picture_alloc(&picture, X264_CSP_I420, param.i_width, param.i_height) != 0) {
    if (converter != nullptr) tjDestroy(converter);
    x264_encoder_close(encoder);
    return nullptr;
  }

  auto loop = std::make_shared<EncodedLoop>();
  loop->framerate = static_cast<uint32_t>(param.i_fps_num);
  x264_nal_t* nals = nullptr;
  int count = 0;
  std::vector<Bytes> headers;
  if (x264_encoder_headers(encoder, &nals, &count) >= 0) AppendNals(nals, count, headers);
  for (const Bytes& nal : headers) {
    if (NalType(nal) == kNalSps) loop->sps = nal;
    if (NalType(nal) == kNalPps) loop->pps = nal;
  }

  const uint32_t keyframe = static_cast<uint32_t>(param.i_keyint_max);
  uint32_t pictures = std::max(kMinLoopPictures, keyframe);
  pictures = (pictures + keyframe - 1) / keyframe * keyframe;
  pictures = std::min(pictures, kMaxLoopPictures);
  bool ok = !loop->sps.empty() && !loop->pps.empty();
  std::vector<uint8_t> rgb;
  for (uint32_t n = 0; n < pictures && ok; ++n) {
    PictureFactory::Render(settings.width, settings.height, n, rgb);
    ok = ToI420(converter, rgb, settings.width, settings.height, picture);
    picture.i_pts = n;
    // The loop must begin with an IDR picture to be repeatable.
    picture.i_type = n == 0 ? X264_TYPE_IDR : X264_TYPE_AUTO;
    x264_picture_t out;
    if (ok && x264_encoder_encode(encoder, &nals, &count, &picture, &out) < 0) ok = false;
    if (ok && count > 0) {
      loop->accessUnits.emplace_back();
      AppendNals(nals, count, loop->accessUnits.back());
    }
  }
  x264_picture_clean(&picture);
  tjDestroy(converter);
  x264_encoder_close(encoder);
  if (!ok || loop->accessUnits.empty()) return nullptr;
  return loop;
}

}  // namespace

std::shared_ptr<const PacketizedLoop> Packetize(const EncodedLoop& loop, const PacketOptions& options) {
  auto packets = std::make_shared<PacketizedLoop>();
  packets->sps = loop.sps;
  packets->pps = loop.pps;
  packets->framerate = loop.framerate;
  packets->accessUnits.reserve(loop.accessUnits.size());
  for (const std::vector<Bytes>& unit : loop.accessUnits) {
    std::vector<RtpPayload> out;
    if (options.seiAndDelimiters) {
      AddNal(out, Bytes{kNalDelimiter, 0xF0}, packets->payloadBytes);
      AddNal(out, SeiNal(), packets->payloadBytes);
    }
    for (size_t i = 0; i < unit.size(); ++i) {
      const Bytes& nal = unit[i];
      const uint8_t type = NalType(nal);
      if (type == kNalDelimiter || (type == kNalSei && options.seiAndDelimiters)) continue;
      if (type == kNalSps || type == kNalPps) {
        if (!options.inbandParameterSets) continue;
        if (options.stapA && type == kNalSps && i + 1 < unit.size() && NalType(unit[i + 1]) == kNalPps) {
          const Bytes& pps = unit[i + 1];
          Bytes stap = {static_cast<uint8_t>((nal[0] & 0x60) | kStapA)};
          for (const Bytes* part : {&nal, &pps}) {
            stap.push_back(static_cast<uint8_t>(part->size() >> 8));
            stap.push_back(static_cast<uint8_t>(part->size()));
            stap.insert(stap.end(), part->begin(), part->end());
          }
          AddPayload(out, std::move(stap), packets->payloadBytes);
          ++i;
          continue;
        }
      }
      AddNal(out, nal, packets->payloadBytes);
    }
    if (out.empty()) continue;
    out.back().marker = true;
    packets->accessUnits.push_back(std::move(out));
  }
  return packets;
}

std::shared_ptr<const PacketizedLoop> H264StreamCache::Get(const EncoderSettings& settings,
                                                           const PacketOptions& options) {
  std::shared_ptr<Entry> entry;
  std::shared_ptr<PacketEntry> packetEntry;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = encoded_[settings.Key()];
    if (!slot) slot = std::make_shared<Entry>();
    entry = slot;
    auto& packetSlot = packets_[PacketKey(settings.Key(), options.Key())];
    if (!packetSlot) packetSlot = std::make_shared<PacketEntry>();
    packetEntry = packetSlot;
  }
  std::call_once(entry->done, [&] { entry->encoded = EncodeLoop(settings); });
  if (!entry->encoded) return nullptr;
  std::call_once(packetEntry->done, [&] { packetEntry->packets = Packetize(*entry->encoded, options); });
  return packetEntry->packets;
}

}  // namespace sim
}  // namespace kestrum
