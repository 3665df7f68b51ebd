// The HTTP side of one simulated camera: its CGI pages, the Motion JPEG
// stream, authentication, faults, and the "/sim/" control pages.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tools/camera-sim/CameraState.h"
#include "tools/camera-sim/DigestAuth.h"
#include "tools/camera-sim/PictureFactory.h"

struct MHD_Daemon;
struct MHD_Connection;
struct MHD_Response;

namespace kestrum {
namespace sim {

enum class AuthMode { None, Basic, Digest };

struct AuthConfig {
  AuthMode mode = AuthMode::None;
  std::string user = "admin";
  std::string password = "admin";
  std::string realm = "Quellon";
};

class HttpFrontEnd {
 public:
  HttpFrontEnd(CameraState& state, PictureFactory& pictures, const AuthConfig& auth);
  ~HttpFrontEnd();
  HttpFrontEnd(const HttpFrontEnd&) = delete;
  HttpFrontEnd& operator=(const HttpFrontEnd&) = delete;

  // Serves on an already listening socket's native handle (taken over).
  bool Start(intptr_t listeningHandle, uint16_t port);
  void Stop();
  uint16_t Port() const { return port_; }

  // What "/info.cgi" reports as the RTSP port.
  void SetRtspPort(uint16_t port) { rtspPort_ = port; }

  // Waits up to ms; false as soon as the front end is stopping.
  bool Pause(uint64_t ms);
  bool Stopping() const { return stopping_.load(); }

  CameraState& State() { return state_; }
  PictureFactory& Pictures() { return pictures_; }

 private:
  struct Request;
  friend struct HttpCallbacks;  // the library's C callbacks, in the source file

  int Handle(MHD_Connection* connection, const std::string& method, const std::string& rawPath);
  int HandleControl(MHD_Connection* connection, const Request& request);
  int HandleCamera(MHD_Connection* connection, const Request& request);
  int HandleAdmin(MHD_Connection* connection, const Request& request, const Faults& faults);
  int HandleStream(MHD_Connection* connection, const Request& request, const Faults& faults);
  // Checks credentials; on failure queues the challenge and returns false.
  bool Authorize(MHD_Connection* connection, RequestRecord& record, int& queued);
  int Reply(MHD_Connection* connection, unsigned status, const std::string& body, bool drop = false,
            const char* contentType = "text/plain");

  CameraState& state_;
  PictureFactory& pictures_;
  AuthConfig auth_;
  DigestAuthenticator digest_;
  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
  std::atomic<uint16_t> rtspPort_{0};
  std::atomic<bool> stopping_{false};
  std::mutex pauseMutex_;
  std::condition_variable pauseWake_;
};

}  // namespace sim
}  // namespace kestrum
