// One RTSP session of a simulated camera: H.264 over RTP to the client's UDP
// ports or interleaved in its RTSP connection, sender reports every 5 s, the
// client's receiver reports and BYE counted, and a watchdog that tears the
// session down when no request came within its time-out.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "platform/Event.h"
#include "platform/UdpSocket.h"
#include "tools/camera-sim/CameraState.h"
#include "tools/camera-sim/H264Encoder.h"
#include "tools/camera-sim/RtspConnection.h"

namespace kestrum {
namespace sim {

struct RtspSessionSetup {
  std::string id;
  bool interleaved = false;
  uint8_t channel = 0;  // interleaved: RTP on it, RTCP on the next
  std::shared_ptr<RtspConnection> connection;  // the SETUP's; carries interleaved media
  uint32_t clientAddress = 0;                  // network order
  uint16_t clientRtpPort = 0;
  uint16_t clientRtcpPort = 0;
  uint32_t timeoutSeconds = 60;
};

class RtspSession {
 public:
  RtspSession(RtspSessionSetup setup, CameraState& state, std::shared_ptr<const PacketizedLoop> stream);
  ~RtspSession();
  RtspSession(const RtspSession&) = delete;
  RtspSession& operator=(const RtspSession&) = delete;

  // Binds the server ports (UDP) and starts the session's thread.
  bool Start();
  void Play();
  void Pause();
  // A request named this session; keepAlive: one that did nothing else.
  void Touch(bool keepAlive);
  // Ends the session with a final state ("torn down", "closed"); idempotent.
  void End(const char* finalState);
  bool Ended() const { return ended_.load(); }
  // The thread is done, lingering included; the session may be destroyed.
  bool Finished() const { return finished_.load(); }

  const std::string& Id() const { return setup_.id; }
  bool Interleaved() const { return setup_.interleaved; }
  const RtspConnection* Connection() const { return setup_.connection.get(); }
  uint16_t ServerRtpPort() const { return rtp_.LocalPort(); }
  uint16_t ServerRtcpPort() const { return rtcp_.LocalPort(); }
  uint32_t Ssrc() const { return ssrc_; }
  uint16_t NextSequence() const { return sequence_.load(); }
  uint32_t NextTimestamp() const { return timestamp_.load(); }

  // RTCP from the client (the RTCP channel or the server RTCP port).
  void OnRtcp(const uint8_t* data, size_t size);
  uint8_t RtcpChannel() const { return static_cast<uint8_t>(setup_.channel + 1); }

 private:
  void Run();
  void RunMedia();
  void SendPicture(const std::vector<RtpPayload>& unit, const Faults& faults);
  void SendMalformed();
  void SendPacket(const uint8_t* payload, size_t size, bool marker);
  void SendSenderReport();
  // Media and RTCP datagrams; on the session's channel pair when interleaved.
  bool Deliver(const std::vector<uint8_t>& packet, bool rtcp);
  void ReadRtcp();
  // After the end a UDP session still hears RTCP for a while: a client says
  // BYE after TEARDOWN.
  void Linger();
  void Record(const std::function<void(RtspSessionRecord&)>& change);

  RtspSessionSetup setup_;
  CameraState& state_;
  std::shared_ptr<const PacketizedLoop> stream_;
  platform::UdpSocket rtp_;
  platform::UdpSocket rtcp_;
  platform::NativeEvent stop_{true};  // no more media
  platform::NativeEvent quit_{true};  // the thread must end now
  std::thread thread_;
  std::atomic<bool> ended_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> playing_{false};
  std::atomic<uint64_t> lastRequestMs_;
  std::mutex endMutex_;
  uint32_t ssrc_;
  std::atomic<uint16_t> sequence_;
  std::atomic<uint32_t> timestamp_;
  std::mt19937 random_;
  // Session thread only:
  std::vector<uint8_t> held_;  // a packet kept back to be sent after the next
  std::vector<uint8_t> batch_;  // interleaved frames of one picture, one write
  uint64_t packetsSent_ = 0;
  uint64_t picturesSent_ = 0;  // access units sent or on their way (a stall sends none; UDP loss may cut them)
  uint64_t octetsSent_ = 0;
  uint64_t packetsLost_ = 0;
};

}  // namespace sim
}  // namespace kestrum
