#include "parsers/JpegMediaParser.h"

#include <algorithm>
#include <cstring>

#include "parsers/HostFrameWriter.h"

namespace kestrum {

namespace {
constexpr uint8_t kStartOfFrame = 0xC0;  // baseline
constexpr uint8_t kStartOfImage = 0xD8;
constexpr uint8_t kEndOfImage = 0xD9;
constexpr uint32_t kJpegCode = FourCC('J', 'P', 'E', 'G');
}  // namespace

void CJpegMediaParser::TakeSofBytes(const uint8_t* data, size_t count) {
  const size_t offset = sizeof sof_ - sofWanted_;
  std::memcpy(sof_ + offset, data, count);
  sofWanted_ -= count;
  if (sofWanted_ == 0) {
    height_ = static_cast<uint32_t>(sof_[3]) << 8 | sof_[4];
    width_ = static_cast<uint32_t>(sof_[5]) << 8 | sof_[6];
  }
}

void CJpegMediaParser::OnMarker(const uint8_t* chunk, size_t size, ptrdiff_t at, size_t& start) {
  const uint8_t code = chunk[at + 1];
  if (code == kStartOfFrame) {
    sofWanted_ = sizeof sof_;
    const size_t from = static_cast<size_t>(at + 2);
    if (from < size) TakeSofBytes(chunk + from, std::min(sofWanted_, size - from));
  } else if (code == kStartOfImage) {
    frame_.clear();
    inFrame_ = true;
    if (at < 0) {
      frame_.push_back(0xFF);  // the marker's first byte came with the previous read
      start = 0;
    } else {
      start = static_cast<size_t>(at);
    }
  } else if (code == kEndOfImage) {
    const size_t end = static_cast<size_t>(at + 2);
    if (inFrame_) {
      frame_.insert(frame_.end(), chunk + start, chunk + end);
      EmitFrame(kJpegCode);
    }
    frame_.clear();
    inFrame_ = false;
    start = end;
  }
}

void CJpegMediaParser::ProcessData(const std::vector<uint8_t>& data) {
  const uint8_t* chunk = data.data();
  const size_t size = data.size();
  if (size == 0) return;
  size_t start = 0;  // first byte of this chunk that belongs to the picture
  size_t scan = 0;

  if (sofWanted_ > 0) {
    // The start-of-frame segment began in an earlier read.
    TakeSofBytes(chunk, std::min(sofWanted_, size));
  }
  if (pendingFF_) {
    pendingFF_ = false;
    OnMarker(chunk, size, -1, start);
  }
  while (scan < size) {
    const void* found = std::memchr(chunk + scan, 0xFF, size - scan);
    if (found == nullptr) break;
    const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(found) - chunk);
    if (at + 1 >= size) {
      pendingFF_ = true;  // the marker code comes with the next read
      break;
    }
    OnMarker(chunk, size, static_cast<ptrdiff_t>(at), start);
    scan = at + 1;
  }
  if (inFrame_ && start < size) frame_.insert(frame_.end(), chunk + start, chunk + size);
  if (!CheckBufferSize()) {
    inFrame_ = false;
    frame_.clear();
  }
}

}  // namespace kestrum
