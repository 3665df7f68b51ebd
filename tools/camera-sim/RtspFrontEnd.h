// The RTSP side of one simulated camera: "nph-h264.cgi" with OPTIONS,
// DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN (and GET_PARAMETER as a
// keep-alive), the same authentication as the HTTP side, sessions over UDP
// or interleaved, and the faults of the "/sim/" pages.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "platform/Socket.h"
#include "tools/camera-sim/CameraState.h"
#include "tools/camera-sim/DigestAuth.h"
#include "tools/camera-sim/H264Encoder.h"
#include "tools/camera-sim/HttpFrontEnd.h"
#include "tools/camera-sim/RtspConnection.h"
#include "tools/camera-sim/RtspMessage.h"
#include "tools/camera-sim/RtspSession.h"

namespace kestrum {
namespace sim {

class RtspFrontEnd {
 public:
  static constexpr const char* kStreamPath = "/nph-h264.cgi";

  RtspFrontEnd(CameraState& state, H264StreamCache& streams, const AuthConfig& auth, uint32_t sessionTimeout);
  ~RtspFrontEnd();
  RtspFrontEnd(const RtspFrontEnd&) = delete;
  RtspFrontEnd& operator=(const RtspFrontEnd&) = delete;

  // Serves on an already listening socket (taken over).
  bool Start(platform::TcpSocket listener);
  void Stop();
  uint16_t Port() const { return port_; }

  // The encoder settings and packetization the camera would use now.
  EncoderSettings CurrentEncoderSettings();
  PacketOptions CurrentPacketOptions();

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
    std::shared_ptr<RtspConnection> connection;
  };
  using ConnectionPtr = std::shared_ptr<RtspConnection>;

  void AcceptLoop();
  void Serve(const ConnectionPtr& connection);
  void Handle(const RtspRequest& request, const ConnectionPtr& connection);
  // False: answered 401 already.
  bool Authorize(const RtspRequest& request, RequestRecord& record, int64_t cseq, const ConnectionPtr& connection);
  void Describe(const RtspRequest& request, int64_t cseq, const ConnectionPtr& connection);
  void Setup(const RtspRequest& request, int64_t cseq, const ConnectionPtr& connection);
  std::string SessionDescription(const PacketizedLoop& stream);
  // A response in this camera's manner (compact headers when strict).
  std::string Response(int status, int64_t cseq, const std::string& headers, const std::string& body = "");

  std::shared_ptr<RtspSession> FindSession(const std::string& id);
  // Ends and forgets the sessions that match (all when connection is null).
  void EndSessions(const RtspConnection* connection, const char* finalState);
  void ReapEndedSessions();
  void ReapWorkers(bool all);

  CameraState& state_;
  H264StreamCache& streams_;
  AuthConfig auth_;
  DigestAuthenticator digest_;
  const uint32_t sessionTimeout_;
  platform::TcpSocket listener_;
  uint16_t port_ = 0;
  platform::NativeEvent stop_{true};
  std::thread acceptor_;

  std::mutex workersMutex_;
  std::vector<Worker> workers_;
  std::mutex sessionsMutex_;
  std::map<std::string, std::shared_ptr<RtspSession>> sessions_;
};

}  // namespace sim
}  // namespace kestrum
