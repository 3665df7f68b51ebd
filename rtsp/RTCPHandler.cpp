#include "rtsp/RTCPHandler.h"

#include <random>

#include "platform/Clock.h"

namespace kestrum {

namespace {
constexpr uint8_t kSenderReport = 200;
constexpr uint8_t kReceiverReport = 201;
constexpr uint8_t kBye = 203;
constexpr uint32_t kMinimumLength = 15;
constexpr uint32_t kDatagramBuffer = 1536;
constexpr uint32_t kMaxDropout = 3000;
constexpr uint32_t kMaxMisorder = 100;
constexpr uint32_t kSequenceMod = 1u << 16;

void PutBigEndian32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

uint32_t DrawSsrc() {
  // A random source identifier (RFC 3550, 8.1); zero is allowed by the RFC
  // but avoided, as some cameras treat it as "none".
  std::random_device device;
  uint32_t value = 0;
  for (int attempt = 0; attempt < 4 && value == 0; ++attempt) value = device();
  return value == 0 ? 1 : value;
}
}  // namespace

CRTCPHandler::CRTCPHandler(IDebugMessage* log) : transport_(log), ownSsrc_(DrawSsrc()) {
  transport_.SetBufferSize(kDatagramBuffer);
  transport_.SetWaitTimeout(1, 0);
}

CRTCPHandler::~CRTCPHandler() { StopReporting(); }

bool CRTCPHandler::StartReporting(uint32_t cameraAddress, uint16_t port) {
  if (transport_.IsOpen() || cameraAddress == 0) return false;
  {
    // Set before the transport can deliver, so its first datagram is judged
    // against the right address.
    CLockGuard guard(lock_);
    cameraAddress_ = cameraAddress;
  }
  if (!transport_.Open(this, port)) return false;
  transport_.SetWaitTimeout(1, 0);
  return true;
}

void CRTCPHandler::StopReporting() {
  bool peerKnown;
  {
    CLockGuard guard(lock_);
    peerKnown = peerKnown_;
  }
  if (peerKnown) Send(BuildBye());
  {
    CLockGuard guard(lock_);
    peerKnown_ = false;
  }
  transport_.Close();
}

void CRTCPHandler::InitSequence(uint16_t sequence) {
  highest_ = sequence;
  bad_ = kSequenceMod + 1;
  cycles_ = 0;
}

void CRTCPHandler::RecordSequence(uint16_t sequence) {
  CLockGuard guard(lock_);
  if (!sequenceInitialised_) {
    sequenceInitialised_ = true;
    InitSequence(sequence);
  }
  const uint16_t delta = static_cast<uint16_t>(sequence - highest_);
  if (delta < kMaxDropout) {
    if (sequence < highest_) cycles_ += kSequenceMod;
    highest_ = sequence;
  } else if (delta <= kSequenceMod - kMaxMisorder) {
    if (sequence == bad_) {
      InitSequence(sequence);
    } else {
      bad_ = (sequence + 1u) & (kSequenceMod - 1);
    }
  }
  // Otherwise a duplicate or a reordered packet: nothing changes.
}

void CRTCPHandler::OnData(IRTPClient*, const SOCKET_ADDRESS_V4& sender, const uint8_t* data, uint32_t length) {
  if (length < kMinimumLength) return;
  {
    CLockGuard guard(lock_);
    if (sender.Address != cameraAddress_) return;
    if (!peerKnown_) {
      destination_ = sender;
      peerKnown_ = data[1] == kSenderReport;
    }
    Note(data);
  }
  Send(BuildReceiverReport());
}

bool CRTCPHandler::NoteInterleavedReport(const uint8_t* data, uint32_t length) {
  if (length < kMinimumLength) return false;
  CLockGuard guard(lock_);
  Note(data);
  return true;
}

void CRTCPHandler::Note(const uint8_t* data) {
  versionBits_ = data[0] & 0xC0;
  for (int i = 0; i < 4; ++i) {
    senderSsrc_[i] = data[4 + i];
    lastSr_[i] = data[10 + i];
  }
  arrivalMs_ = platform::MonotonicMilliseconds();
  anyArrival_ = true;
}

std::vector<uint8_t> CRTCPHandler::BuildReceiverReport() {
  CLockGuard guard(lock_);
  std::vector<uint8_t> report(32, 0);
  report[0] = static_cast<uint8_t>(versionBits_ | 1);
  report[1] = kReceiverReport;
  report[3] = 7;
  PutBigEndian32(&report[4], ownSsrc_);
  for (int i = 0; i < 4; ++i) {
    report[8 + i] = senderSsrc_[i];
    report[24 + i] = lastSr_[i];
  }
  // Cycles are counted in steps of 65536, so their count lands in the upper
  // half of the extended highest sequence number by itself.
  PutBigEndian32(&report[16], cycles_ + highest_);
  uint32_t delay = 0;
  if (anyArrival_) {
    const uint64_t elapsed = platform::MonotonicMilliseconds() - arrivalMs_;
    delay = static_cast<uint32_t>(elapsed * 65536 / 1000);
  }
  PutBigEndian32(&report[28], delay);
  return report;
}

std::vector<uint8_t> CRTCPHandler::BuildBye() {
  CLockGuard guard(lock_);
  std::vector<uint8_t> bye(8, 0);
  bye[0] = static_cast<uint8_t>(versionBits_ | 1);
  bye[1] = kBye;
  bye[3] = 1;
  PutBigEndian32(&bye[4], ownSsrc_);
  return bye;
}

void CRTCPHandler::Send(const std::vector<uint8_t>& packet) {
  if (packet.empty()) return;
  SOCKET_ADDRESS_V4 destination;
  {
    CLockGuard guard(lock_);
    if (!peerKnown_) return;
    destination = destination_;
  }
  if (!transport_.Send(destination, packet.data(), static_cast<uint32_t>(packet.size()))) {
    // Learn the destination again from the next sender report.
    CLockGuard guard(lock_);
    peerKnown_ = false;
  }
}

}  // namespace kestrum
