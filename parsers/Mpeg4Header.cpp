#include "parsers/Mpeg4Header.h"

#include <cstddef>

namespace kestrum {

namespace {

constexpr uint8_t kSequenceStart = 0xB0;
constexpr uint8_t kPlaneStart = 0xB6;
constexpr uint8_t kLayerFirst = 0x20;  // video_object_layer_start_code 0x20 to 0x2F
constexpr uint8_t kLayerLast = 0x2F;
constexpr uint32_t kExtendedPar = 0xF;
constexpr uint32_t kRectangular = 0;
constexpr uint32_t kGrayscale = 3;

// Most significant bit first; reading past the end sets a flag instead.
class Bits {
 public:
  Bits(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint32_t Read(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
      if (position_ >= size_ * 8) {
        overrun_ = true;
        value <<= 1;
        continue;
      }
      value = (value << 1) | ((data_[position_ / 8] >> (7 - position_ % 8)) & 1);
      ++position_;
    }
    return value;
  }
  bool Marker() { return Read(1) == 1; }
  bool Overrun() const { return overrun_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
  bool overrun_ = false;
};

bool StartCodeAt(const uint8_t* data, size_t size, size_t at) {
  return at + 3 < size && data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1;
}

// The layer header's fields up to the width and height (6.2.3).
bool ReadLayer(Bits& bits, uint32_t& width, uint32_t& height) {
  bits.Read(1);  // random_accessible_vol
  bits.Read(8);  // video_object_type_indication
  uint32_t verid = 1;
  if (bits.Read(1) != 0) {  // is_object_layer_identifier
    verid = bits.Read(4);
    bits.Read(3);  // priority
  }
  if (bits.Read(4) == kExtendedPar) bits.Read(16);  // par_width, par_height
  if (bits.Read(1) != 0) {                          // vol_control_parameters
    bits.Read(2);                                   // chroma_format
    bits.Read(1);                                   // low_delay
    if (bits.Read(1) != 0) {                        // vbv_parameters
      bits.Read(15);
      if (!bits.Marker()) return false;
      bits.Read(15);
      if (!bits.Marker()) return false;
      bits.Read(15);
      if (!bits.Marker()) return false;
      bits.Read(3);
      bits.Read(11);
      if (!bits.Marker()) return false;
      bits.Read(15);
      if (!bits.Marker()) return false;
    }
  }
  const uint32_t shape = bits.Read(2);
  if (shape == kGrayscale && verid != 1) bits.Read(4);
  if (!bits.Marker()) return false;
  const uint32_t resolution = bits.Read(16);
  if (!bits.Marker() || resolution == 0) return false;
  if (bits.Read(1) != 0) {  // fixed_vop_rate
    int length = 1;
    while (length < 16 && (1u << length) < resolution) ++length;
    bits.Read(length);
  }
  if (shape != kRectangular) return false;  // arbitrary shapes carry no frame size
  if (!bits.Marker()) return false;
  width = bits.Read(13);
  if (!bits.Marker()) return false;
  height = bits.Read(13);
  if (!bits.Marker()) return false;
  return !bits.Overrun() && width != 0 && height != 0;
}

}  // namespace

int32_t KESTRUM_STDCALL ParseMpeg4ConfigHeader(const uint8_t* data, int32_t size, uint32_t* width,
                                               uint32_t* height) {
  if (data == nullptr || size < 4 || width == nullptr || height == nullptr) return 0;
  const size_t length = static_cast<size_t>(size);
  if (!StartCodeAt(data, length, 0) || data[3] != kSequenceStart) return 0;
  for (size_t at = 4; at + 4 <= length; ++at) {
    if (!StartCodeAt(data, length, at)) continue;
    const uint8_t code = data[at + 3];
    if (code == kPlaneStart) return 0;  // the header ended without a layer
    if (code < kLayerFirst || code > kLayerLast) continue;
    Bits bits(data + at + 4, length - at - 4);
    uint32_t w = 0;
    uint32_t h = 0;
    if (!ReadLayer(bits, w, h)) return 0;
    *width = w;
    *height = h;
    return 1;
  }
  return 0;
}

}  // namespace kestrum
