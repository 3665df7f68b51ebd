// Real JPEG pictures for the simulated cameras: a moving pattern with the
// picture number, encoded once per (size, quality) and shared by every stream.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

namespace kestrum {
namespace sim {

using PictureSet = std::vector<std::string>;  // one JPEG file per element

class PictureFactory {
 public:
  static constexpr uint32_t kPicturesPerLoop = 50;

  // The loop of pictures for this size and quality (1..100); encodes them on
  // first use. Null if the encoder fails.
  std::shared_ptr<const PictureSet> Get(uint32_t width, uint32_t height, uint32_t quality);

  // Raw RGB image of picture number n (exposed for the H.264 encoder), into
  // rgb: one buffer for a whole loop, as a fresh one per picture costs a
  // page fault per page, under the sanitizers longer than the drawing.
  static void Render(uint32_t width, uint32_t height, uint32_t number, std::vector<uint8_t>& rgb);

 private:
  struct Entry {
    std::once_flag encoded;
    std::shared_ptr<const PictureSet> pictures;
  };
  static std::shared_ptr<const PictureSet> Encode(uint32_t width, uint32_t height, uint32_t quality);

  std::mutex mutex_;  // guards the map only; encoding runs outside it
  std::map<std::tuple<uint32_t, uint32_t, uint32_t>, std::shared_ptr<Entry>> cache_;
};

}  // namespace sim
}  // namespace kestrum
