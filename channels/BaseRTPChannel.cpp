#include "channels/BaseRTPChannel.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <thread>

#include "foundation/Time.h"
#include "foundation/TextUtils.h"
#include "platform/Clock.h"
#include "platform/Network.h"
#include "rtsp/RTPPacket.h"

namespace kestrum {

namespace {
constexpr uint32_t kLoopWaitMs = 1000;
constexpr uint32_t kRetrySoonMs = 10;
constexpr uint32_t kProbedPairs = 500;
// After a read that found only part of a picture, how long the next wait
// is put off so the rest can be read at once; a full read goes on at once.
constexpr uint32_t kGatherMs = 4;
}  // namespace

CBaseRTPChannel::CBaseRTPChannel(uint32_t index, IDriver* driver, ipcapture::IHostFrameSink* sink)
    : CBaseCameraChannel(index, driver, sink), receiver_(driver), rtcp_(driver) {}

CBaseRTPChannel::~CBaseRTPChannel() {
  StopCaptureThread();
  receiver_.StopReceiving();
  rtcp_.StopReporting();
}

uint32_t CBaseRTPChannel::LookupAddress(const std::string& host) { return platform::LookupIPv4(host.c_str()); }

std::string CBaseRTPChannel::SessionFailure() {
  const uint32_t timeout = Driver()->GetDeviceInfo()->StreamTimeout;
  if (RtpMode() == kRtpOverUdp) {
    return FormatString("the session brought no picture within %u ms over RTP/UDP to port %u", timeout,
                        static_cast<unsigned>(receiver_.GetPort()));
  }
  return FormatString("the session brought no picture within %u ms over RTP interleaved in the RTSP connection",
                      timeout);
}

uint32_t CBaseRTPChannel::ResolveCameraAddress() {
  const std::string& host = Driver()->GetDeviceInfo()->Address;
  const uint32_t address = host.empty() ? 0 : LookupAddress(host);
  cameraAddress_ = address;
  return address;
}

void CBaseRTPChannel::OnPacket(CRTPPacket* packet) {
  packetSeen_.Set();
  ProcessPacket(*packet);
}

void CBaseRTPChannel::OnPacketFrom(const SOCKET_ADDRESS_V4* sender, CRTPPacket* packet) {
  if (sender == nullptr || sender->Address != cameraAddress_.load()) return;
  packetSeen_.Set();
  // The statistics count every packet as it arrived (RFC 3550 A.1).
  rtcp_.RecordSequence(packet->SequenceNumber);
  reorder_.Push(*packet, platform::MonotonicMilliseconds(), [this](const CRTPPacket& p) { ProcessPacket(p); });
}

int CBaseRTPChannel::WaitReceiving(uint32_t ms, CEvent* until) {
  if (receiver_.Transport() == nullptr) {
    CEvent* events[] = {&StopEvent(), until};
    return WaitForAny(events, until != nullptr ? 2 : 1, ms);
  }
  const uint64_t deadline = platform::MonotonicMilliseconds() + ms;
  CUDPClient* transports[] = {receiver_.Transport(), rtcp_.Transport()};
  auto process = [this](const CRTPPacket& p) { ProcessPacket(p); };
  for (;;) {
    uint64_t now = platform::MonotonicMilliseconds();
    // Held packets leave on time even when nothing else arrives.
    const uint64_t held = reorder_.Expire(now, process);
    const uint64_t left = deadline > now ? deadline - now : 0;
    const uint32_t wait = static_cast<uint32_t>(std::min<uint64_t>(std::min(left, held), kLoopWaitMs));
    bool readable[2];
    if (CUDPClient::Wait(transports, 2, wait, StopEvent(), readable)) return 0;
    now = platform::MonotonicMilliseconds();
    const size_t handed = receiver_.Receive(now, readable[0]);
    rtcp_.Receive(now, readable[1]);
    if (until != nullptr && until->Wait(0)) return 1;
    // A picture's datagrams come over a few milliseconds: waking for each
    // costs more than reading them together (under wine, every wake and read
    // is a round trip to its server). The socket's buffer holds them.
    if (handed != 0 && handed < CUDPClient::kMostPerReceive) std::this_thread::sleep_for(std::chrono::milliseconds(kGatherMs));
    if (now >= deadline) {
      reorder_.Expire(now, process);
      return -1;
    }
  }
}

bool CBaseRTPChannel::OnFrame(ipcapture::IHostFrame* frame) {
  // The session works even when the host refuses the picture.
  frameDelivered_.Set();
  const bool accepted = DeliverFrame(frame);
  if (accepted) {
    LastFrameTime().Touch();
    SetCameraState(true);
  }
  return accepted;
}

std::pair<uint32_t, uint32_t> CBaseRTPChannel::GetFrameSize() { return {Params().Width, Params().Height}; }

std::string CBaseRTPChannel::GetSourceName() { return Driver()->GetDriverName(); }

void CBaseRTPChannel::GetFrameTime(uint32_t rtpTimestamp, ipcapture::SYSTEM_TIME& time) {
  converter_.Convert(rtpTimestamp, GetCurrentTimeValue());
  const bool converted = converter_.FrameTime() != 0 && converter_.PreviousTimestamp() != 0;
  if (!converted || !ToSystemTime(converter_.FrameTime(), time)) ToSystemTime(0, time);
}

void CBaseRTPChannel::ReceiveWhile(const std::function<bool()>& busy, uint32_t limitMs) {
  constexpr uint32_t kSliceMs = 10;
  const uint64_t deadline = platform::MonotonicMilliseconds() + limitMs;
  CUDPClient* transports[] = {receiver_.Transport(), rtcp_.Transport()};
  CManualEvent never;  // the channel's own stop event is already signalled
  auto process = [this](const CRTPPacket& p) { ProcessPacket(p); };
  try {
    while (busy() && platform::MonotonicMilliseconds() < deadline) {
      bool readable[2];
      CUDPClient::Wait(transports, 2, kSliceMs, never, readable);
      const uint64_t now = platform::MonotonicMilliseconds();
      receiver_.Receive(now, readable[0]);
      rtcp_.Receive(now, readable[1]);
      reorder_.Expire(now, process);
    }
    // What came before the camera heard the end, and what the window holds:
    // no later packet will fill its gaps.
    // At most a socket buffer's worth: a sender that never stops must not hold
    // the close up.
    for (int pass = 0; pass < 32 && receiver_.Receive(platform::MonotonicMilliseconds()) != 0; ++pass) {
    }
  } catch (const std::bad_alloc&) {
    // Out of memory while closing, the rest is not read: the session ends all the same.
  }
  reorder_.Expire(~0ull / 2, process);
}

bool CBaseRTPChannel::OpenUdpTransport() {
  receiver_.SetUser(this);
  for (uint32_t pair = 0; pair < kProbedPairs; ++pair) {
    const uint32_t port = firstRtpPort_ + pair * 2;
    if (port + 1 > 0xFFFF) break;
    if (StopEvent().Wait(0)) return false;
    packetSeen_.Reset();
    reorder_.Reset();  // the receiver's thread is not running here
    if (receiver_.StartReceiving(0, static_cast<uint16_t>(port))) {
      // Packets from the camera before any session asked for them belong to
      // another stream of the same camera: that pair is taken.
      if (WaitReceiving(kPortProbeMs, &packetSeen_) == -1 &&
          rtcp_.StartReporting(cameraAddress_.load(), static_cast<uint16_t>(port + 1))) {
        return true;
      }
    }
    receiver_.StopReceiving();
    rtcp_.StopReporting();
  }
  return false;
}

bool CBaseRTPChannel::OpenSession() {
  // Looked up at every opening: a lookup that failed once, or an address
  // that changed, must not leave the channel deaf for good.
  const uint32_t address = ResolveCameraAddress();
  if (RtpMode() != kRtpOverUdp) return true;
  // Without the camera's address no UDP packet would be accepted.
  if (address == 0) return false;
  return OpenUdpTransport();
}

void CBaseRTPChannel::CloseSession() {
  receiver_.StopReceiving();
  rtcp_.StopReporting();
}

void CBaseRTPChannel::Run() {
  const uint32_t streamTimeout = Driver()->GetDeviceInfo()->StreamTimeout;
  LastFrameTime().Touch();
  for (;;) {
    uint32_t waitMs = kLoopWaitMs;
    if (GetStatus() != Streaming) {
      SetStatus(Stopped);
      CloseSession();
      LoadDeviceSettings();
      frameDelivered_.Reset();
      if (PrepareSession() && OpenSession()) {
        if (WaitReceiving(streamTimeout, &frameDelivered_) == 1) {
          SetStatus(Streaming);
        } else {
          ReportFailure(SessionFailure());
          waitMs = kRetrySoonMs;
        }
      } else {
        SetStatus(Stopped);
        CloseSession();
      }
    } else if (keepAliveTime_.ElapsedMilliseconds() > kKeepAliveIntervalMs) {
      KeepAlive();
      keepAliveTime_.Touch();
    }
    if (WaitReceiving(waitMs, nullptr) == 0) break;
    if (LastFrameTime().ElapsedMilliseconds() < streamTimeout / 2) continue;
    // Half the time-out without a picture: reopen, silently; the full
    // time-out: tell the host, on every pass until pictures return.
    SetStatus(SignalLost);
    if (LastFrameTime().ElapsedMilliseconds() >= streamTimeout) {
      NotifySignalLost();
      SetCameraState(false);
    }
  }
  SetStatus(Stopped);
  CloseSession();
  SetCameraState(false);
}

}  // namespace kestrum
