#include "rtsp/RTSPStreamParser.h"

#include <algorithm>

#include "rtsp/RTPPacket.h"
#include "rtsp/RTPReceiverUser.h"

namespace kestrum {

namespace {
constexpr uint8_t kMarker = 0x24;  // "$"
}  // namespace

void CRTSPStreamParser::FrameDone() {
  payload_.clear();
  remaining_ = 0;
  state_ = State::Hunting;
}

void CRTSPStreamParser::Feed(const uint8_t* data, size_t size) {
  size_t at = 0;
  while (at < size) {
    switch (state_) {
      case State::Hunting: {
        const void* found = std::find(data + at, data + size, kMarker);
        at = static_cast<size_t>(static_cast<const uint8_t*>(found) - data);
        if (at < size) {
          state_ = State::Channel;
          ++at;
        }
        break;
      }
      case State::Channel:
        // Every channel byte is a frame (RFC 2326, 10.12): a server may use
        // channels it did not announce, and their bytes must not be searched.
        channel_ = data[at++];
        state_ = State::LengthHigh;
        break;
      case State::LengthHigh:
        remaining_ = static_cast<uint32_t>(data[at++]) << 8;
        state_ = State::LengthLow;
        break;
      case State::LengthLow:
        remaining_ |= data[at++];
        if (remaining_ == 0) {
          FrameDone();  // empty frame: dropped
        } else if (channel_ == rtpChannel_ || (rtcp_ && channel_ == static_cast<uint8_t>(rtpChannel_ + 1))) {
          payload_.clear();
          payload_.reserve(remaining_);
          state_ = State::Payload;
        } else {
          state_ = State::Skipping;  // RTCP and the rest: skipped by length, never searched
        }
        break;
      case State::Payload: {
        const size_t take = std::min<size_t>(remaining_, size - at);
        payload_.insert(payload_.end(), data + at, data + at + take);
        at += take;
        remaining_ -= static_cast<uint32_t>(take);
        if (remaining_ == 0) {
          if (channel_ != rtpChannel_) {
            ++skipped_;
            rtcp_(payload_.data(), payload_.size());
          } else {
            CRTPPacket packet;
            if (packet.Parse(payload_.data(), payload_.size())) {
              if (sequences_) sequences_(packet.SequenceNumber);
              if (owner_ != nullptr) owner_->OnPacket(&packet);
            }
          }
          FrameDone();  // a malformed packet costs only itself
        }
        break;
      }
      case State::Skipping: {
        const size_t take = std::min<size_t>(remaining_, size - at);
        at += take;
        remaining_ -= static_cast<uint32_t>(take);
        if (remaining_ == 0) {
          ++skipped_;
          FrameDone();
        }
        break;
      }
    }
  }
}

}  // namespace kestrum
