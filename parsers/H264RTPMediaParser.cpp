#include "parsers/H264RTPMediaParser.h"

#include <new>

#include "driver/IDriver.h"
#include "parsers/H264Sps.h"
#include "parsers/HostFrameWriter.h"
#include "rtsp/RTPPacket.h"

namespace kestrum {

namespace {
constexpr uint8_t kStartCode[] = {0x00, 0x00, 0x01};
constexpr uint8_t kEndMark[] = {0x00, 0x00, 0x00, 0x01, 0x09};
constexpr uint8_t kIdr = 5;
constexpr uint8_t kDelimiter = 9;
constexpr uint8_t kSei = 6;
constexpr uint8_t kSps = 7;
constexpr uint8_t kPps = 8;
constexpr uint8_t kStapA = 24;
constexpr uint8_t kFuA = 28;
// A parameter-set packet this small never ends an access unit, marker or not.
constexpr size_t kSmallParameterSet = 64;
const uint32_t kKeyCode = FourCC('H', '2', '6', '4');
const uint32_t kOtherCode = FourCC('I', '2', '6', '4');
}  // namespace

CH264RTPMediaParser::CH264RTPMediaParser(IDriver* driver) : CRTPMediaParser(driver) {}

void CH264RTPMediaParser::ClearUnit() {
  frame_.clear();
  unitHasSps_ = false;
}

void CH264RTPMediaParser::Reset() {
  waitingForKeyFrame_ = true;
  width_ = 0;
  height_ = 0;
  ClearUnit();
}

void CH264RTPMediaParser::SetParameterSets(const std::vector<uint8_t>* sets) {
  CRTPMediaParser::SetParameterSets(sets);
  if (sets == nullptr || sets[0].empty() || sets[1].empty()) return;
  std::vector<uint8_t> scratch(kStartCode, kStartCode + 3);
  scratch.insert(scratch.end(), sets[0].begin(), sets[0].end());
  scratch.insert(scratch.end(), kStartCode, kStartCode + 3);
  scratch.insert(scratch.end(), sets[1].begin(), sets[1].end());
  uint32_t width = 0;
  uint32_t height = 0;
  if (!ParseSpsPictureSize(scratch.data(), scratch.size(), width, height)) return;
  storedSets_ = std::move(scratch);
  width_ = width;
  height_ = height;
}

void CH264RTPMediaParser::AppendNal(const uint8_t* nal, size_t length) {
  frame_.insert(frame_.end(), kStartCode, kStartCode + 3);
  frame_.insert(frame_.end(), nal, nal + length);
  if (length > 0 && (nal[0] & 0x1F) == kSps) unitHasSps_ = true;
}

void CH264RTPMediaParser::PutStoredSetsFirst() {
  if (storedSets_.empty() || unitHasSps_) return;
  // At the front of the unit, not just before the slice: a PPS that came in
  // band without its SPS (lost) must not precede the SPS it refers to. A
  // delimiter stays first, as it must.
  size_t at = 0;
  if (frame_.size() > 3 && (frame_[3] & 0x1F) == kDelimiter) {
    at = 4;
    while (at + 3 <= frame_.size() && !(frame_[at] == 0 && frame_[at + 1] == 0 && frame_[at + 2] == 1)) ++at;
  }
  frame_.insert(frame_.begin() + static_cast<std::ptrdiff_t>(at), storedSets_.begin(), storedSets_.end());
  unitHasSps_ = true;
}

bool CH264RTPMediaParser::Depacketize(const uint8_t* p, size_t length) {
  frameComplete_ = true;
  if (p == nullptr || length == 0) return false;
  const uint8_t type = p[0] & 0x1F;
  if (type >= 1 && type <= 23) {
    // A header byte alone is a whole unit for some types (end of sequence,
    // end of stream), and a delimiter is two bytes: refusing them would
    // reset the parser at every picture of a camera that sends them.
    if (type == kSei) return true;
    if (type == kSps || type == kPps) frameComplete_ = length > kSmallParameterSet;
    if (type == kIdr) PutStoredSetsFirst();
    AppendNal(p, length);
    return true;
  }
  if (type == kStapA) {
    if (length < 4) return false;
    size_t at = 1;
    while (length - at > 1) {
      const size_t size = static_cast<size_t>(p[at] << 8 | p[at + 1]);
      at += 2;
      if (size > length - at) return false;
      AppendNal(p + at, size);
      at += size;
    }
    return true;
  }
  if (type == kFuA) {
    if (length < 3) return false;
    const uint8_t header = static_cast<uint8_t>((p[0] & 0xE0) | (p[1] & 0x1F));
    if ((p[1] & 0x80) != 0) {
      // A fragment that starts a non-IDR slice begins the unit anew.
      if ((header & 0x1F) != kIdr) {
        ClearUnit();
      } else {
        PutStoredSetsFirst();
      }
      AppendNal(&header, 1);
    }
    frame_.insert(frame_.end(), p + 2, p + length);
    return true;
  }
  return false;  // STAP-B, MTAP, FU-B and the reserved types
}

void CH264RTPMediaParser::ProcessPacket(const CRTPPacket& packet) {
  try {
    if (!CheckSequence(packet.SequenceNumber)) Reset();
    bool ok = Depacketize(packet.Payload.data(), packet.Payload.size());
    if (!CheckBufferSize()) ok = false;
    if (!ok) {
      Reset();
      return;
    }
    if (frameComplete_ && packet.Marker != 0 && !frame_.empty()) {
      EmitAccessUnit(packet.Timestamp);
      ClearUnit();
    }
  } catch (const std::bad_alloc&) {
    // A packet that cannot be handled is dropped with its unit.
    memoryShort_ = true;
    Reset();
  } catch (...) {
    Reset();
  }
}

void CH264RTPMediaParser::EmitAccessUnit(uint32_t timestamp) {
  if (driver_ == nullptr || client_ == nullptr || frame_.empty() || driver_->GetFrameAllocator() == nullptr) return;
  frame_.insert(frame_.end(), kEndMark, kEndMark + sizeof kEndMark);
  uint32_t code = kOtherCode;
  uint32_t width = 0;
  uint32_t height = 0;
  if (ParseSpsPictureSize(frame_.data(), frame_.size(), width, height)) {
    width_ = width;
    height_ = height;
    code = kKeyCode;
    waitingForKeyFrame_ = false;
  } else if (waitingForKeyFrame_) {
    return;  // dropped until a unit with an SPS
  }
  const FrameWrite written =
      WriteHostFrame(*driver_, client_, code, frame_.data(), frame_.size(), width_, height_, timestamp,
                     FrameFill::BytesFirst);
  if (written == FrameWrite::Accepted) return;
  if (written == FrameWrite::NoFrame) noHostFrame_ = true;
  if (written == FrameWrite::NoBuffer) {
    driver_->Message(1, "%s: Data copying error, device %s", "kestrum::CH264RTPMediaParser::ProcessFrame",
                     driver_->GetDeviceAddress().c_str());
  }
  // The picture chain is broken: wait for the next key frame.
  Reset();
}

}  // namespace kestrum
