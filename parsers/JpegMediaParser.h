// Cuts a Motion JPEG stream into pictures at its JPEG markers alone; the
// multipart framing around the pictures is ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "parsers/HttpMediaParser.h"

namespace kestrum {

class CJpegMediaParser : public CHttpMediaParser {
 public:
  explicit CJpegMediaParser(IDriver* driver) : CHttpMediaParser(driver) {}

  void ProcessData(const std::vector<uint8_t>& chunk) override;

  bool InFrame() const { return inFrame_; }

 private:
  // A marker whose 0xFF is at offset at (-1: the last byte of the previous chunk).
  void OnMarker(const uint8_t* chunk, size_t size, ptrdiff_t at, size_t& start);
  // Collects the start-of-frame bytes that carry the size, across chunks.
  void TakeSofBytes(const uint8_t* data, size_t count);

  bool inFrame_ = false;
  // Markers and start-of-frame segments split by a read are carried over.
  bool pendingFF_ = false;
  size_t sofWanted_ = 0;  // start-of-frame bytes still to come
  uint8_t sof_[7] = {};   // length (2), precision, height (2), width (2)
};

}  // namespace kestrum
