#include "tools/camera-sim/PictureFactory.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstring>

namespace kestrum {
namespace sim {

namespace {

// Seven-segment digits: bits a (top) b c d e f g (middle).
const uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

void FillRect(std::vector<uint8_t>& rgb, uint32_t width, uint32_t height, int x, int y, int w, int h, uint8_t r,
              uint8_t g, uint8_t b) {
  const int x0 = std::max(0, x), y0 = std::max(0, y);
  const int x1 = std::min<int>(static_cast<int>(width), x + w), y1 = std::min<int>(static_cast<int>(height), y + h);
  for (int row = y0; row < y1; ++row) {
    uint8_t* p = &rgb[(static_cast<size_t>(row) * width + static_cast<size_t>(x0)) * 3];
    for (int col = x0; col < x1; ++col) {
      *p++ = r;
      *p++ = g;
      *p++ = b;
    }
  }
}

void DrawDigit(std::vector<uint8_t>& rgb, uint32_t width, uint32_t height, int x, int y, int size, int digit) {
  const int t = std::max(2, size / 6);  // stroke
  const int w = size / 2;
  const uint8_t s = kSegments[digit];
  auto seg = [&](int bit, int sx, int sy, int sw, int sh) {
    if (s & (1 << bit)) FillRect(rgb, width, height, x + sx, y + sy, sw, sh, 255, 255, 255);
  };
  seg(0, 0, 0, w, t);              // a
  seg(1, w - t, 0, t, size / 2);   // b
  seg(2, w - t, size / 2, t, size / 2);  // c
  seg(3, 0, size - t, w, t);       // d
  seg(4, 0, size / 2, t, size / 2);  // e
  seg(5, 0, 0, t, size / 2);       // f
  seg(6, 0, size / 2 - t / 2, w, t);  // g
}

// Diagonal bands that move with the picture number, over a gradient. The
// band pattern repeats every 128 columns and moves one column per row, so
// rows from 128 on are copies of earlier rows with their own blue: drawn per
// pixel under the sanitizers, a loop of pictures took seconds (a camera's
// first SETUP was answered after the client had given up), and these loops
// check nothing of the driver's.
__attribute__((no_sanitize("address", "undefined", "thread"))) void FillBackground(uint8_t* rgb, uint32_t width,
                                                                                  uint32_t height, uint32_t shift) {
  constexpr uint32_t kPeriod = 128;
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* row = rgb + rowBytes * y;
    const uint8_t blue = static_cast<uint8_t>((y * 255) / height);
    if (y >= kPeriod) {
      std::memcpy(row, row - rowBytes * kPeriod, rowBytes);
      for (size_t at = 2; at < rowBytes; at += 3) row[at] = blue;
      continue;
    }
    uint8_t* p = row;
    for (uint32_t x = 0; x < width; ++x) {
      const uint32_t band = ((x + y + shift) / 32) % 4;
      *p++ = static_cast<uint8_t>(40 + band * 30);
      *p++ = static_cast<uint8_t>((x * 255) / width);
      *p++ = blue;
    }
  }
}

}  // namespace

void PictureFactory::Render(uint32_t width, uint32_t height, uint32_t number, std::vector<uint8_t>& rgb) {
  rgb.resize(static_cast<size_t>(width) * height * 3);
  FillBackground(rgb.data(), width, height, number * 8);
  // A box that travels across the picture.
  const int box = static_cast<int>(std::max<uint32_t>(8, height / 6));
  const int travel = static_cast<int>(width) - box;
  const int bx = travel > 0 ? static_cast<int>((number * 37) % static_cast<uint32_t>(travel)) : 0;
  FillRect(rgb, width, height, bx, static_cast<int>(height) - box - 4, box, box, 250, 200, 0);
  // The picture number in the top left corner.
  const int size = static_cast<int>(std::max<uint32_t>(12, height / 8));
  const int digits[3] = {static_cast<int>(number / 100 % 10), static_cast<int>(number / 10 % 10),
                         static_cast<int>(number % 10)};
  FillRect(rgb, width, height, 4, 4, size * 2 + size / 2 + 8, size + 8, 0, 0, 0);
  for (int i = 0; i < 3; ++i) DrawDigit(rgb, width, height, 8 + i * (size * 3 / 4 + 2), 8, size, digits[i]);
}

std::shared_ptr<const PictureSet> PictureFactory::Get(uint32_t width, uint32_t height, uint32_t quality) {
  std::shared_ptr<Entry> entry;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Entry>& slot = cache_[std::make_tuple(width, height, quality)];
    if (!slot) slot = std::make_shared<Entry>();
    entry = slot;
  }
  // Streams that need the same set wait here for one encoding.
  std::call_once(entry->encoded, [&] { entry->pictures = Encode(width, height, quality); });
  return entry->pictures;
}

std::shared_ptr<const PictureSet> PictureFactory::Encode(uint32_t width, uint32_t height, uint32_t quality) {
  tjhandle encoder = tjInitCompress();
  if (encoder == nullptr) return nullptr;
  auto pictures = std::make_shared<PictureSet>();
  pictures->reserve(kPicturesPerLoop);
  std::vector<uint8_t> rgb;
  for (uint32_t n = 0; n < kPicturesPerLoop; ++n) {
    Render(width, height, n, rgb);
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    // Baseline (start-of-frame 0xC0), 4:2:0, as the camera sends.
    if (tjCompress2(encoder, rgb.data(), static_cast<int>(width), 0, static_cast<int>(height), TJPF_RGB, &jpeg,
                    &size, TJSAMP_420, static_cast<int>(std::clamp<uint32_t>(quality, 1, 100)), TJFLAG_FASTDCT) != 0) {
      tjFree(jpeg);
      tjDestroy(encoder);
      return nullptr;
    }
    pictures->emplace_back(reinterpret_cast<const char*>(jpeg), size);
    tjFree(jpeg);
  }
  tjDestroy(encoder);
  return pictures;
}

}  // namespace sim
}  // namespace kestrum
