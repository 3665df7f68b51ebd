#include "parsers/MpegMediaParser.h"

#include "parsers/HostFrameWriter.h"
#include "parsers/Mpeg4Header.h"

namespace kestrum {

namespace {
constexpr uint8_t kSequenceStart = 0xB0;
constexpr uint8_t kPlaneStart = 0xB6;
const uint32_t kKeyCode = FourCC('D', 'I', 'V', 'X');
const uint32_t kOtherCode = FourCC('D', 'I', 'V', 'I');
}  // namespace

CMpegMediaParser::CMpegMediaParser(IDriver* driver) : CHttpMediaParser(driver) {
  if (library_.Open(platform::LibraryFileName(kLibraryName))) {
    void* symbol = library_.Symbol("ParseMpegHeader");
    if (symbol == nullptr) symbol = library_.Symbol("_ParseMpegHeader@16");
    headerParser_ = reinterpret_cast<ParseMpegHeaderFunction>(symbol);
  }
  // Without the outside library our own reader does its job.
  if (headerParser_ == nullptr) headerParser_ = &ParseMpeg4ConfigHeader;
}

CMpegMediaParser::CMpegMediaParser(IDriver* driver, ParseMpegHeaderFunction headerParser)
    : CHttpMediaParser(driver), headerParser_(headerParser) {}

void CMpegMediaParser::Reset() {
  keyFrame_ = false;
  waiting_ = true;
  frameStart_ = 0;
  scan_ = 0;
  frame_.clear();
}

bool CMpegMediaParser::StartCodeAt(size_t at, uint8_t code) const {
  return at + 3 < frame_.size() && frame_[at] == 0 && frame_[at + 1] == 0 && frame_[at + 2] == 1 &&
         frame_[at + 3] == code;
}

void CMpegMediaParser::ProcessData(const std::vector<uint8_t>& chunk) {
  try {
    frame_.insert(frame_.end(), chunk.begin(), chunk.end());
    Scan();
  } catch (...) {
    Reset();
  }
}

void CMpegMediaParser::Scan() {
  const size_t size = frame_.size();
  while (scan_ + 4 < size) {
    const size_t p = scan_;
    if (StartCodeAt(p, kSequenceStart)) {
      FinishFrame(frameStart_, p);
      size_t q = p + 4;
      while (q + 4 < size && !StartCodeAt(q, kPlaneStart)) ++q;
      // The header is complete only with the plane that follows it: look
      // again when more data has come.
      if (q + 4 >= size) break;
      header_.assign(frame_.begin() + static_cast<std::ptrdiff_t>(p), frame_.begin() + static_cast<std::ptrdiff_t>(q));
      frameStart_ = q;
    } else if (StartCodeAt(p, kPlaneStart)) {
      FinishFrame(frameStart_, p);
      // Intra-coded: the plane's coding type (its first two bits) is 0.
      if (p + 4 < size) keyFrame_ = (frame_[p + 4] & 0xC0) == 0;
    }
    ++scan_;
  }
  if (frameStart_ > 0) {
    frame_.erase(frame_.begin(), frame_.begin() + static_cast<std::ptrdiff_t>(frameStart_));
    scan_ -= frameStart_;
    frameStart_ = 0;
  }
  if (!CheckBufferSize()) Reset();
}

void CMpegMediaParser::FinishFrame(size_t start, size_t end) {
  if (start >= end) return;
  if (waiting_ && !keyFrame_) {
    frameStart_ = end;  // dropped until a key frame
    return;
  }
  out_.clear();
  if (keyFrame_) out_.insert(out_.end(), header_.begin(), header_.end());
  out_.insert(out_.end(), frame_.begin() + static_cast<std::ptrdiff_t>(start),
              frame_.begin() + static_cast<std::ptrdiff_t>(end));
  bool emit = true;
  if (keyFrame_) {
    if (headerParser_ == nullptr ||
        headerParser_(out_.data(), static_cast<int32_t>(out_.size()), &width_, &height_) < 1) {
      waiting_ = true;
      emit = false;
    }
  }
  if (emit) {
    if (client_ != nullptr && driver_ != nullptr && !out_.empty()) {
      WriteHostFrame(*driver_, client_, keyFrame_ ? kKeyCode : kOtherCode, out_.data(), out_.size(), width_, height_,
                     0);
    }
    waiting_ = false;
  }
  keyFrame_ = false;
  frameStart_ = end;
}

}  // namespace kestrum
