#include "tools/camera-sim/RtspSession.h"

#include <algorithm>
#include <chrono>

#include "platform/Clock.h"

namespace kestrum {
namespace sim {

namespace {
constexpr uint32_t kRtpClock = 90000;
constexpr uint8_t kPayloadType = 96;
constexpr uint64_t kFirstReportMs = 1000;
constexpr uint64_t kReportIntervalMs = 5000;
constexpr uint32_t kSendTimeoutMs = 2000;
constexpr uint64_t kMalformedEvery = 25;  // pictures
constexpr uint64_t kBehindLimitUs = 1000000;
constexpr uint8_t kRtcpSenderReport = 200;
constexpr uint8_t kRtcpReceiverReport = 201;
constexpr uint8_t kRtcpBye = 203;
constexpr uint64_t kLingerMs = 2000;
// Seconds from 1601-01-01 (where file time counts from) to 1900-01-01
// (where NTP time counts from).
constexpr uint64_t kFileTimeToNtpSeconds = 9435484800ull;

void Put32(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 24));
  out.push_back(static_cast<uint8_t>(value >> 16));
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

uint64_t NowUs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}
}  // namespace

RtspSession::RtspSession(RtspSessionSetup setup, CameraState& state, std::shared_ptr<const PacketizedLoop> stream)
    : setup_(std::move(setup)), state_(state), stream_(std::move(stream)), random_(std::random_device{}()) {
  ssrc_ = random_();
  sequence_ = static_cast<uint16_t>(random_());
  timestamp_ = random_();
  lastRequestMs_ = SimMilliseconds();
}

RtspSession::~RtspSession() {
  End("closed");
  quit_.Set();
  if (thread_.joinable()) thread_.join();
}

void RtspSession::Record(const std::function<void(RtspSessionRecord&)>& change) {
  state_.RtspSessions().Update(setup_.id, change);
}

bool RtspSession::Start() {
  if (!setup_.interleaved && (!rtp_.Bind(0, 0) || !rtcp_.Bind(0, 0))) return false;
  const uint16_t serverRtp = rtp_.LocalPort();
  const uint16_t serverRtcp = rtcp_.LocalPort();
  Record([&](RtspSessionRecord& r) {
    r.transport = setup_.interleaved ? "interleaved" : "udp";
    r.clientRtpPort = setup_.clientRtpPort;
    r.clientRtcpPort = setup_.clientRtcpPort;
    r.serverRtpPort = serverRtp;
    r.serverRtcpPort = serverRtcp;
    r.timeoutSeconds = setup_.timeoutSeconds;
    r.state = "ready";
  });
  thread_ = std::thread([this] { Run(); });
  return true;
}

void RtspSession::Play() {
  if (Ended()) return;
  playing_ = true;
  Record([](RtspSessionRecord& r) { r.state = "playing"; });
}

void RtspSession::Pause() {
  if (Ended()) return;
  playing_ = false;
  Record([](RtspSessionRecord& r) { r.state = "paused"; });
}

void RtspSession::Touch(bool keepAlive) {
  lastRequestMs_ = SimMilliseconds();
  if (keepAlive) Record([](RtspSessionRecord& r) { ++r.keepAlives; });
}

void RtspSession::End(const char* finalState) {
  {
    std::lock_guard<std::mutex> lock(endMutex_);
    if (ended_) return;
    ended_ = true;
  }
  playing_ = false;
  stop_.Set();
  const std::string text = finalState;
  Record([&](RtspSessionRecord& r) { r.state = text; });
}

bool RtspSession::Deliver(const std::vector<uint8_t>& packet, bool rtcp) {
  if (setup_.interleaved) {
    std::vector<uint8_t> frame = {'$', static_cast<uint8_t>(setup_.channel + (rtcp ? 1 : 0)),
                                  static_cast<uint8_t>(packet.size() >> 8),
                                  static_cast<uint8_t>(packet.size())};
    frame.insert(frame.end(), packet.begin(), packet.end());
    return setup_.connection->Send(frame.data(), frame.size(), kSendTimeoutMs, &stop_);
  }
  const platform::Ipv4Endpoint to{setup_.clientAddress, rtcp ? setup_.clientRtcpPort : setup_.clientRtpPort};
  return (rtcp ? rtcp_ : rtp_).SendTo(to, packet.data(), packet.size());
}

void RtspSession::SendPacket(const uint8_t* payload, size_t size, bool marker) {
  std::vector<uint8_t> packet;
  packet.reserve(12 + size);
  const uint16_t sequence = sequence_++;
  packet.push_back(0x80);
  packet.push_back(static_cast<uint8_t>((marker ? 0x80 : 0) | kPayloadType));
  packet.push_back(static_cast<uint8_t>(sequence >> 8));
  packet.push_back(static_cast<uint8_t>(sequence));
  Put32(packet, timestamp_.load());
  Put32(packet, ssrc_);
  packet.insert(packet.end(), payload, payload + size);
  ++packetsSent_;
  octetsSent_ += size;
  if (setup_.interleaved) {
    // One write per picture: the frames are collected and sent together.
    batch_.push_back('$');
    batch_.push_back(setup_.channel);
    batch_.push_back(static_cast<uint8_t>(packet.size() >> 8));
    batch_.push_back(static_cast<uint8_t>(packet.size()));
    batch_.insert(batch_.end(), packet.begin(), packet.end());
    return;
  }
  const Faults faults = state_.GetFaults();
  if (faults.udpLoss > 0 && random_() % 100 < faults.udpLoss) {
    ++packetsLost_;
    return;
  }
  if (!held_.empty()) {
    Deliver(packet, false);
    Deliver(held_, false);
    held_.clear();
  } else if (faults.udpReorder > 0 && random_() % 100 < faults.udpReorder) {
    held_ = std::move(packet);
  } else {
    Deliver(packet, false);
  }
}

void RtspSession::SendPicture(const std::vector<RtpPayload>& unit, const Faults&) {
  batch_.clear();
  for (const RtpPayload& payload : unit) SendPacket(payload.bytes.data(), payload.bytes.size(), payload.marker);
  if (!held_.empty()) {
    Deliver(held_, false);
    held_.clear();
  }
  if (!batch_.empty() && !setup_.connection->Send(batch_.data(), batch_.size(), kSendTimeoutMs, &stop_)) {
    End("closed");
  }
}

void RtspSession::SendMalformed() {
  // An FU-A with start and end set and no data, and a STAP-A whose first
  // unit claims 80 bytes of which one is present.
  const uint8_t emptyFragment[] = {0x7C, 0xC5};
  const uint8_t cutAggregate[] = {0x78, 0x00, 0x50, 0x67};
  batch_.clear();
  SendPacket(emptyFragment, sizeof emptyFragment, false);
  SendPacket(cutAggregate, sizeof cutAggregate, false);
  if (!batch_.empty()) setup_.connection->Send(batch_.data(), batch_.size(), kSendTimeoutMs, &stop_);
}

void RtspSession::SendSenderReport() {
  const uint64_t fileTime = platform::CurrentFileTime();
  const uint64_t seconds = fileTime / 10000000 - kFileTimeToNtpSeconds;
  const uint64_t fraction = (fileTime % 10000000) * (uint64_t{1} << 32) / 10000000;
  std::vector<uint8_t> report = {0x80, kRtcpSenderReport, 0x00, 0x06};
  Put32(report, ssrc_);
  Put32(report, static_cast<uint32_t>(seconds));
  Put32(report, static_cast<uint32_t>(fraction));
  Put32(report, timestamp_.load());
  Put32(report, static_cast<uint32_t>(packetsSent_));
  Put32(report, static_cast<uint32_t>(octetsSent_));
  if (Deliver(report, true)) Record([](RtspSessionRecord& r) { ++r.senderReports; });
}

void RtspSession::OnRtcp(const uint8_t* data, size_t size) {
  uint64_t reports = 0;
  uint64_t byes = 0;
  // A compound packet: each part's length is in 32-bit words minus one.
  for (size_t at = 0; at + 4 <= size;) {
    if ((data[at] & 0xC0) != 0x80) break;
    const uint8_t type = data[at + 1];
    if (type == kRtcpReceiverReport || type == kRtcpSenderReport) ++reports;
    if (type == kRtcpBye) ++byes;
    at += (static_cast<size_t>(data[at + 2] << 8 | data[at + 3]) + 1) * 4;
  }
  if (reports + byes == 0) return;
  Record([&](RtspSessionRecord& r) {
    r.receiverReports += reports;
    r.byes += byes;
  });
}

void RtspSession::ReadRtcp() {
  uint8_t buffer[1500];
  for (int i = 0; i < 64; ++i) {
    size_t received = 0;
    platform::Ipv4Endpoint from;
    bool truncated = false;
    if (rtcp_.ReceiveFrom(buffer, sizeof buffer, received, from, truncated) != platform::IoStatus::Ok) return;
    OnRtcp(buffer, received);
  }
}

void RtspSession::Linger() {
  if (setup_.interleaved) return;
  const uint64_t until = SimMilliseconds() + kLingerMs;
  for (uint64_t now = SimMilliseconds(); now < until; now = SimMilliseconds()) {
    if (rtcp_.WaitReadable(static_cast<uint32_t>(until - now), &quit_) != platform::WaitResult::Ready) return;
    ReadRtcp();
  }
}

void RtspSession::Run() {
  RunMedia();
  Linger();
  finished_ = true;
}

void RtspSession::RunMedia() {
  const auto& units = stream_->accessUnits;
  const uint32_t fps = std::max(1u, stream_->framerate);
  const uint64_t frameUs = 1000000 / fps;
  const uint32_t timestampStep = kRtpClock / fps;
  uint64_t deadline = NowUs();
  uint64_t frame = 0;
  size_t unit = 0;
  uint64_t nextReportMs = 0;
  for (;;) {
    const uint64_t now = NowUs();
    const uint32_t waitMs = deadline > now ? static_cast<uint32_t>((deadline - now + 999) / 1000) : 0;
    if (setup_.interleaved) {
      if (stop_.Wait(waitMs)) break;
    } else {
      const platform::WaitResult result = rtcp_.WaitReadable(waitMs, &stop_);
      if (result == platform::WaitResult::Stopped) break;
      if (result == platform::WaitResult::Ready) {
        ReadRtcp();
        if (NowUs() < deadline) continue;
      }
    }
    if (Ended()) break;
    if (SimMilliseconds() - lastRequestMs_.load() > uint64_t{setup_.timeoutSeconds} * 1000) {
      // As a camera does: a session nobody asked about is gone.
      End("timed out");
      if (setup_.interleaved) setup_.connection->Close();
      break;
    }
    if (setup_.interleaved && setup_.connection->IsClosed()) {
      End("closed");
      break;
    }
    if (playing_ && !units.empty()) {
      const Faults faults = state_.GetFaults();
      if (!faults.stall) {
        if (faults.malformed && frame % kMalformedEvery == kMalformedEvery - 1) SendMalformed();
        // Counted before its first packet leaves: a client that has read the
        // state after recording a picture finds it among those sent.
        const uint64_t pictures = ++picturesSent_;
        Record([&](RtspSessionRecord& r) { r.picturesSent = pictures; });
        SendPicture(units[unit], faults);
      } else {
        // The pictures are lost on the way, not skipped by the encoder: the
        // sequence numbers show the gap, as they would after a network stall.
        sequence_ += static_cast<uint16_t>(units[unit].size());
      }
      unit = (unit + 1) % units.size();
      const uint64_t nowMs = SimMilliseconds();
      if (nextReportMs == 0) nextReportMs = nowMs + kFirstReportMs;
      if (nowMs >= nextReportMs && !faults.stall) {
        SendSenderReport();
        nextReportMs = nowMs + kReportIntervalMs;
      }
      timestamp_ += timestampStep;
      const uint64_t sent = packetsSent_;
      const uint64_t lost = packetsLost_;
      Record([&](RtspSessionRecord& r) {
        r.packetsSent = sent;
        r.packetsLost = lost;
      });
    }
    ++frame;
    deadline += frameUs;
    // A thread that fell far behind starts afresh instead of bursting.
    if (NowUs() > deadline + kBehindLimitUs) deadline = NowUs();
  }
}

}  // namespace sim
}  // namespace kestrum
