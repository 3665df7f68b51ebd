#include "channels/BaseRTPChannel.h"

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

uint32_t CBaseRTPChannel::OnQueueEmpty() {
  const uint64_t wait =
      reorder_.Expire(platform::MonotonicMilliseconds(), [this](const CRTPPacket& p) { ProcessPacket(p); });
  return wait > kLoopWaitMs ? kLoopWaitMs : static_cast<uint32_t>(wait);
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
      CEvent* events[] = {&StopEvent(), &packetSeen_};
      if (WaitForAny(events, 2, kPortProbeMs) == -1 &&
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
        CEvent* events[] = {&StopEvent(), &frameDelivered_};
        if (WaitForAny(events, 2, streamTimeout) == 1) {
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
    const bool stopped = StopEvent().Wait(waitMs);
    if (stopped) break;
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
