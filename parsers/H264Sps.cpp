#include "parsers/H264Sps.h"

#include <algorithm>
#include <vector>

namespace kestrum {

namespace {

constexpr size_t kSearchLimit = 64;
constexpr uint8_t kSpsType = 7;

// Most significant bit first; bits past the end read as 1 and are counted,
// so a truncated set ends every Exp-Golomb code and is found out at the end.
class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint32_t Bit() {
    if (byte_ >= size_) {
      ++overrun_;
      return 1;
    }
    const uint32_t bit = (data_[byte_] >> (7 - bit_)) & 1;
    if (++bit_ == 8) {
      bit_ = 0;
      ++byte_;
    }
    return bit;
  }
  uint32_t Bits(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 1) | Bit();
    return value;
  }
  // ue(v); false (with ok cleared) for a code longer than 32 bits.
  uint32_t Ue() {
    int zeros = 0;
    while (Bit() == 0) {
      if (++zeros > 31) {
        ok_ = false;
        return 0;
      }
    }
    return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + Bits(zeros));
  }
  int32_t Se() {
    const uint32_t code = Ue();
    return (code & 1) != 0 ? static_cast<int32_t>((code + 1) / 2) : -static_cast<int32_t>(code / 2);
  }
  bool Ok() const { return ok_ && overrun_ < 8; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t byte_ = 0;
  int bit_ = 0;
  size_t overrun_ = 0;
  bool ok_ = true;
};

void SkipScalingList(BitReader& bits, int entries) {
  int last = 8;
  int next = 8;
  for (int i = 0; i < entries && bits.Ok(); ++i) {
    // delta_scale lies in -128..127 in a valid set; any other value must
    // not overflow the sum.
    if (next != 0) next = static_cast<int>(((int64_t{last} + bits.Se()) % 256 + 256) % 256);
    last = next == 0 ? last : next;
  }
}

// The NAL unit's payload without emulation prevention bytes (00 00 03):
// without this an SPS that happens to hold such a sequence reads wrongly.
std::vector<uint8_t> Unescape(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  out.reserve(size);
  int zeros = 0;
  for (size_t i = 0; i < size; ++i) {
    if (zeros >= 2 && data[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = data[i] == 0 ? zeros + 1 : 0;
    out.push_back(data[i]);
  }
  return out;
}

bool ReadSps(BitReader& bits, uint32_t& width, uint32_t& height) {
  const uint32_t profile = bits.Bits(8);
  bits.Bits(8);  // constraint flags and reserved bits
  bits.Bits(8);  // level
  bits.Ue();     // seq_parameter_set_id
  if (profile >= 100) {
    if (bits.Ue() == 3) bits.Bit();  // separate_colour_plane_flag
    bits.Ue();                       // bit_depth_luma_minus8
    bits.Ue();                       // bit_depth_chroma_minus8
    bits.Bit();                      // qpprime_y_zero_transform_bypass_flag
    if (bits.Bit() != 0) {           // seq_scaling_matrix_present_flag
      for (int i = 0; i < 8 && bits.Ok(); ++i) {
        if (bits.Bit() != 0) SkipScalingList(bits, i < 6 ? 16 : 64);
      }
    }
  }
  bits.Ue();  // log2_max_frame_num_minus4
  const uint32_t pocType = bits.Ue();
  if (pocType == 0) {
    bits.Ue();
  } else if (pocType == 1) {
    bits.Bit();
    bits.Ue();
    bits.Ue();
    const uint32_t cycle = bits.Ue();
    for (uint32_t i = 0; i < cycle && bits.Ok(); ++i) bits.Ue();
  }
  bits.Ue();   // max_num_ref_frames
  bits.Bit();  // gaps_in_frame_num_value_allowed_flag
  const uint64_t widthInMbs = uint64_t{bits.Ue()} + 1;
  const uint64_t heightInMapUnits = uint64_t{bits.Ue()} + 1;
  const uint32_t frameMbsOnly = bits.Bit();
  int64_t w = static_cast<int64_t>(widthInMbs * 16);
  int64_t h = static_cast<int64_t>((2 - frameMbsOnly) * heightInMapUnits * 16);
  if (frameMbsOnly == 0) bits.Bit();  // mb_adaptive_frame_field_flag
  bits.Bit();                         // direct_8x8_inference_flag
  if (bits.Bit() != 0) {              // frame_cropping_flag
    const int64_t left = bits.Ue();
    const int64_t right = bits.Ue();
    const int64_t top = bits.Ue();
    const int64_t bottom = bits.Ue();
    w -= 2 * (left + right);
    h -= 2 * (top + bottom);
  }
  if (!bits.Ok() || w <= 0 || h <= 0 || w > 0xFFFF || h > 0xFFFF) return false;
  width = static_cast<uint32_t>(w);
  height = static_cast<uint32_t>(h);
  return true;
}

}  // namespace

bool ParseSpsPictureSize(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height) {
  if (data == nullptr) return false;
  for (size_t at = 0; at < kSearchLimit && at + 3 < size; ++at) {
    if (data[at] != 0 || data[at + 1] != 0 || data[at + 2] != 1 || (data[at + 3] & 0x1F) != kSpsType) continue;
    // An SPS is a few dozen bytes; scaling lists make it a few hundred.
    const size_t start = at + 4;
    const size_t length = std::min<size_t>(size - start, 1024);
    const std::vector<uint8_t> payload = Unescape(data + start, length);
    BitReader bits(payload.data(), payload.size());
    return ReadSps(bits, width, height);
  }
  return false;
}

}  // namespace kestrum
