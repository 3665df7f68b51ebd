// A camera channel whose pictures arrive as RTP packets: the UDP transport
// with its port pair and RTCP, session supervision with reopening and loss
// reports, and frame times from the RTP timestamps. Over UDP the capture
// thread itself reads both ports between its supervision steps, so a camera
// costs two threads (this one and the RTSP client's) in every RTP mode.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "channels/BaseCameraChannel.h"
#include "channels/TimeStampConverter.h"
#include "parsers/MediaParserClient.h"
#include "rtsp/RTCPHandler.h"
#include "rtsp/RTPReceiver.h"
#include "rtsp/RTPReceiverUser.h"
#include "rtsp/RTPReorderWindow.h"

namespace kestrum {

class CRTPPacket;

class CBaseRTPChannel : public CBaseCameraChannel, public IRTPReceiverUser, public IMediaParserClient {
 public:
  static constexpr uint32_t kKeepAliveIntervalMs = 30000;
  static constexpr uint16_t kFirstRtpPort = 3556;
  static constexpr uint16_t kPortLimit = 4556;
  static constexpr uint32_t kPortProbeMs = 2000;
  // How long a packet that came early over UDP waits for those before it.
  static constexpr uint32_t kReorderHoldMs = 50;

  CBaseRTPChannel(uint32_t index, IDriver* driver, ipcapture::IHostFrameSink* sink);
  ~CBaseRTPChannel() override;

  // IRTPReceiverUser
  void OnPacket(CRTPPacket* packet) override;
  void OnPacketFrom(const SOCKET_ADDRESS_V4* sender, CRTPPacket* packet) override;
  void OnReceiveTimeout() override {}
  void OnTransportClosed() override {}
  void OnParameterSets(const std::vector<uint8_t>*) override {}

  // IMediaParserClient
  bool OnFrame(ipcapture::IHostFrame* frame) override;
  std::pair<uint32_t, uint32_t> GetFrameSize() override;
  std::string GetSourceName() override;
  void GetFrameTime(uint32_t rtpTimestamp, ipcapture::SYSTEM_TIME& time) override;

 protected:
  void Run() override;

  // Opens the UDP transport in mode 0 (nothing to open otherwise).
  virtual bool OpenSession();
  virtual void CloseSession();
  virtual void KeepAlive() {}
  // Brings the camera in line before a session; false: not now.
  virtual bool PrepareSession() = 0;
  // Why a session that opened brought no picture within the time-out.
  virtual std::string SessionFailure();
  virtual void ProcessPacket(const CRTPPacket& packet) = 0;

  // Goes on reading the UDP ports (mode 0) while busy() holds, at most
  // limitMs, whether or not a stop was asked for: what the camera sends
  // until it hears the end of the session is still handed on.
  void ReceiveWhile(const std::function<bool()>& busy, uint32_t limitMs);

  // Looks the camera's address up again (it may have changed, or failed
  // before); 0 when it cannot be resolved.
  uint32_t ResolveCameraAddress();
  // The system's host-name lookup (replaced in tests).
  virtual uint32_t LookupAddress(const std::string& host);
  uint32_t CameraAddress() const { return cameraAddress_.load(); }
  CRTPReceiver& Receiver() { return receiver_; }
  CRTCPHandler& Rtcp() { return rtcp_; }
  // Where port probing starts (tests move it off the common range).
  void SetFirstRtpPort(uint16_t port) { firstRtpPort_ = port; }
  uint16_t FirstRtpPort() const { return firstRtpPort_; }

 private:
  bool OpenUdpTransport();
  // Waits up to ms, reading the UDP ports meanwhile (mode 0) and handing on
  // what the reorder window releases. As WaitForAny: 0 when stopped, 1 when
  // until (if given) was signalled, -1 at the end of the time.
  int WaitReceiving(uint32_t ms, CEvent* until);

  CTime keepAliveTime_;
  std::atomic<uint32_t> cameraAddress_{0};
  CTimeStampConverter converter_;
  CRTPReceiver receiver_;
  CRTCPHandler rtcp_;
  // UDP only (TCP keeps the order); used on the capture thread.
  CRTPReorderWindow reorder_{kReorderHoldMs};
  CManualEvent packetSeen_;
  CManualEvent frameDelivered_;
  uint16_t firstRtpPort_ = kFirstRtpPort;
};

}  // namespace kestrum
