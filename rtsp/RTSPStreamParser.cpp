#include "rtsp/RTSPStreamParser.h"

#include <algorithm>

#include "rtsp/RTPPacket.h"
#include "rtsp/RTPReceiverUser.h"

namespace kestrum {

namespace {
constexpr uint8_t kMarker = 0x24;  // "$"
// The channels this client sets up: RTP on 0, RTCP on 1. A "$" followed by
// any other channel byte is taken for text, not for a frame.
constexpr uint8_t kRtpChannel = 0;
constexpr uint8_t kRtcpChannel = 1;
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
        channel_ = data[at];
        if (channel_ == kRtpChannel || channel_ == kRtcpChannel) {
          state_ = State::LengthHigh;
          ++at;
        } else {
          state_ = State::Hunting;  // this byte may itself start a frame
        }
        break;
      case State::LengthHigh:
        remaining_ = static_cast<uint32_t>(data[at++]) << 8;
        state_ = State::LengthLow;
        break;
      case State::LengthLow:
        remaining_ |= data[at++];
        if (remaining_ == 0) {
          FrameDone();  // empty frame: dropped
        } else if (channel_ == kRtpChannel) {
          payload_.clear();
          payload_.reserve(remaining_);
          state_ = State::Payload;
        } else {
          state_ = State::Skipping;  // RTCP: skipped by its length, never searched
        }
        break;
      case State::Payload: {
        const size_t take = std::min<size_t>(remaining_, size - at);
        payload_.insert(payload_.end(), data + at, data + at + take);
        at += take;
        remaining_ -= static_cast<uint32_t>(take);
        if (remaining_ == 0) {
          CRTPPacket packet;
          if (packet.Parse(payload_.data(), payload_.size()) && owner_ != nullptr) {
            owner_->OnPacket(&packet);
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
