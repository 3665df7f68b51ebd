// RTSP/1.0 client (RFC 2326) for one camera stream: DESCRIBE, SETUP, PLAY,
// keep-alive OPTIONS and TEARDOWN on a thread of its own, Basic or Digest
// credentials on demand, and RTP read from the control connection when the
// camera interleaves it there.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/BaseThread.h"
#include "foundation/Event.h"
#include "foundation/RecursiveLock.h"
#include "platform/Socket.h"
#include "rtsp/RTSPResponseParser.h"

namespace kestrum {

class IRTPReceiverUser;
class CRTSPStreamParser;

enum RTSPMethod : uint32_t {
  kRtspDescribe = 1,
  kRtspSetup = 2,
  kRtspPlay = 3,
  kRtspTeardown = 4,
  kRtspOptions = 5,
  kRtspPause = 6,
};

// How RTP reaches the client.
enum RTPMode : uint32_t { kRtpModeUdp = 0, kRtpModeTcp = 1, kRtpModeRtsp = 2 };

struct RTSP_CLIENT_SETTINGS {
  uint16_t ServerPort = 554;
  uint16_t ClientRtpPort = 0;
  uint16_t ClientRtcpPort = 0;
  std::string Host;
  std::string UserName;
  std::string Password;
  uint32_t ConnectTimeout = 5000;  // ms
  uint32_t ReceiveTimeout = 5000;  // ms
  uint32_t ReceiveBuffer = 65536;  // bytes
  uint32_t SendTimeout = 1000;     // ms
  uint32_t SessionTimeout = 60;    // s, when the server names none
  uint32_t AuthScheme = 0;         // 0 none, 1 Basic, 2 Digest
  std::string Path;
  uint32_t Media = 1;  // 1 video, 2 audio, 3 data
  std::string Range;   // empty: "npt=0.000-"
};

// The name of a method code; empty for an unknown code.
const char* RTSPMethodName(uint32_t method);

class CBaseRTSPClient : public CBaseThread {
 public:
  // Beyond these a response fails instead of being cut.
  static constexpr size_t kMaxHeaderBytes = 64 * 1024;
  static constexpr size_t kMaxBodyBytes = 1024 * 1024;

  explicit CBaseRTSPClient(IDebugMessage* log);
  ~CBaseRTSPClient() override;

  // Connects and starts the session thread; false (after StopSession) when
  // the camera cannot be reached.
  bool StartSession(const RTSP_CLIENT_SETTINGS& settings, IRTPReceiverUser* owner, uint32_t mode);
  // Why the last session failed, in words ("SETUP answered 461 Unsupported
  // Transport"); empty while none did. Safe from any thread.
  std::string LastFailure();
  // Ends the thread (TEARDOWN goes out), then closes the connection.
  void StopSession();
  // The longest StopSession may wait for the thread.
  uint32_t StopLimitMs() const;

  // The text of one request; advances the CSeq counter.
  virtual std::string BuildRequest(uint32_t method);

  std::string BaseUrl() const;
  std::string SetupUrl() const;
  const CRTSPResponseParser& Session() const { return parser_; }

 protected:
  void Run() override;
  // Mode 1 and 2, in place of reading the PLAY response: RTP from the
  // connection to the owner. True when the connection ended or went quiet,
  // false when stopped.
  virtual bool ReceiveInterleaved();

 private:
  bool Connect(platform::NativeEvent* stop = nullptr);
  std::string AuthorizationLine(uint32_t method, const std::string& url);
  std::string TransportLine() const;

  // One request and its response; false when either fails or the parser
  // rejects the response.
  bool SendAndRead(uint32_t method);
  // Once more after a 401 that asks for another scheme; true on 2xx.
  bool SendWithRetry(uint32_t method);
  // After a 401: the scheme offered is tried once, and a stale nonce is
  // replaced (RFC 7616, 3.3: not a refused login) a few times; false when a
  // request could not be made.
  bool AnswerChallenges(uint32_t method);
  // The interleaved stream after PLAY, until stop, silence or a closed connection.
  bool ReadFrames(CRTSPStreamParser& stream);
  // One RTCP packet as an interleaved frame on the connection.
  void SendInterleaved(uint8_t channel, const std::vector<uint8_t>& packet);
  // SETUP with the standard transport, then once in the bare form for a
  // camera that refuses the standard one.
  bool SetUp();
  // The session itself; Run adds what ends it for want of memory.
  void RunSession();
  bool SendRequest(uint32_t method);
  // Reads one whole response, keeping what follows it for the next read.
  bool ReadResponse(std::string& response);
  // An answer came that cannot be read (too large): false.
  bool NoteAnswerRejected();
  void KeepAlive(bool readResponse);
  uint32_t KeepAlivePeriodMs() const;

  CRTSPResponseParser parser_;
  platform::TcpSocket socket_;
  std::string pending_;  // bytes read past the last response
  uint64_t lastKeepAliveMs_ = 0;
  bool keepAliveSent_ = false;
  // The last request had an answer of any kind, readable or not: its
  // connection works.
  bool answerArrived_ = false;
  IRTPReceiverUser* owner_ = nullptr;
  RTSP_CLIENT_SETTINGS settings_;
  uint32_t mode_ = kRtpModeUdp;
  bool bareTransport_ = false;  // interleaved SETUP without channel numbers
  // Digest with qop: the nonce counted and the count of requests with it.
  std::string countedNonce_;
  uint32_t nonceCount_ = 0;
  std::string clientNonce_;
  CRecursiveLock failureLock_;
  std::string lastFailure_;
  // The session thread ended for want of memory; kept apart from
  // lastFailure_, whose text could not be made then.
  std::atomic<bool> memoryShort_{false};
  void SetFailure(const std::string& failure);
  void NoteFailure(uint32_t method);
  CEvent pauseEvent_{false};
  CEvent playEvent_{false};
  bool paused_ = false;
};

}  // namespace kestrum
