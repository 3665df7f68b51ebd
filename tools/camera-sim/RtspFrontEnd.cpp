#include "tools/camera-sim/RtspFrontEnd.h"

#include <cstdio>
#include <random>

#include "foundation/TextUtils.h"
#include "platform/Thread.h"
#include "rtsp/Base64.h"

namespace kestrum {
namespace sim {

namespace {
constexpr uint32_t kSendTimeoutMs = 2000;
constexpr uint32_t kReadSliceMs = 200;
constexpr size_t kMaxHeadBytes = 64 * 1024;
constexpr size_t kMaxBodyBytes = 64 * 1024;
// An RTSP session keeps its nonce for as long as it lasts.
constexpr uint64_t kRtspNonceLifetimeMs = 24ull * 3600 * 1000;
const char kPublic[] = "Public: OPTIONS, DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN, GET_PARAMETER\r\n";

std::string Hex(const Bytes& bytes, size_t from, size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = from; i < from + count && i < bytes.size(); ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

std::string NewSessionId() {
  static std::mt19937 random{std::random_device{}()};
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  char id[16];
  snprintf(id, sizeof id, "%08X", static_cast<unsigned>(random()));
  return id;
}

bool IsStreamPath(const std::string& path) {
  const std::string base = RtspFrontEnd::kStreamPath;
  return path == base || path.compare(0, base.size() + 1, base + "/") == 0;
}
}  // namespace

RtspFrontEnd::RtspFrontEnd(CameraState& state, H264StreamCache& streams, const AuthConfig& auth,
                           uint32_t sessionTimeout)
    : state_(state),
      streams_(streams),
      auth_(auth),
      digest_(auth.realm, auth.user, auth.password, kRtspNonceLifetimeMs),
      sessionTimeout_(sessionTimeout) {}

RtspFrontEnd::~RtspFrontEnd() { Stop(); }

bool RtspFrontEnd::Start(platform::TcpSocket listener) {
  if (!listener.IsOpen()) return false;
  listener_ = std::move(listener);
  port_ = listener_.LocalPort();
  stop_.Reset();
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void RtspFrontEnd::Stop() {
  stop_.Set();
  if (acceptor_.joinable()) acceptor_.join();
  listener_.Close();
  {
    std::lock_guard<std::mutex> lock(workersMutex_);
    for (Worker& worker : workers_) worker.connection->Close();
  }
  ReapWorkers(true);
  EndSessions(nullptr, "closed");
}

EncoderSettings RtspFrontEnd::CurrentEncoderSettings() {
  const ImageSettings image = state_.Settings();
  const Resolution resolution = state_.CurrentResolution();
  EncoderSettings settings;
  settings.width = resolution.width;
  settings.height = resolution.height;
  settings.framerate = image.h264_framerate;
  settings.keyframe = image.h264_keyframe;
  settings.quality = image.h264_quality;
  settings.bitrate = image.h264_cbr != 0 ? image.h264_bitrate : 0;
  return settings;
}

PacketOptions RtspFrontEnd::CurrentPacketOptions() {
  const Faults faults = state_.GetFaults();
  PacketOptions options;
  options.inbandParameterSets = !faults.noInbandSets;
  options.stapA = faults.stapA;
  options.seiAndDelimiters = faults.seiAud;
  return options;
}

void RtspFrontEnd::ReapWorkers(bool all) {
  std::vector<Worker> finished;
  {
    std::lock_guard<std::mutex> lock(workersMutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (all || it->done->load()) {
        finished.push_back(std::move(*it));
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (Worker& worker : finished) worker.thread.join();
}

void RtspFrontEnd::AcceptLoop() {
  for (;;) {
    platform::TcpSocket socket;
    if (listener_.Accept(socket, platform::kInfinite, &stop_) != platform::IoStatus::Ok) return;
    ReapWorkers(false);
    ReapEndedSessions();
    Worker worker;
    worker.connection = std::make_shared<RtspConnection>(std::move(socket));
    worker.done = std::make_shared<std::atomic<bool>>(false);
    ConnectionPtr connection = worker.connection;
    auto done = worker.done;
    worker.thread = std::thread([this, connection, done] {
      Serve(connection);
      *done = true;
    });
    std::lock_guard<std::mutex> lock(workersMutex_);
    workers_.push_back(std::move(worker));
  }
}

void RtspFrontEnd::Serve(const ConnectionPtr& connection) {
  std::string buffer;
  char chunk[4096];
  bool open = true;
  while (open) {
    // Everything complete in the buffer: interleaved frames and requests.
    while (!buffer.empty()) {
      if (buffer[0] == '$') {
        if (buffer.size() < 4) break;
        const size_t length = static_cast<uint8_t>(buffer[2]) << 8 | static_cast<uint8_t>(buffer[3]);
        if (buffer.size() < 4 + length) break;
        std::shared_ptr<RtspSession> session;
        {
          std::lock_guard<std::mutex> lock(sessionsMutex_);
          for (auto& entry : sessions_) {
            if (entry.second->Interleaved() && entry.second->Connection() == connection.get()) session = entry.second;
          }
        }
        if (session && static_cast<uint8_t>(buffer[1]) == session->RtcpChannel()) {
          session->OnRtcp(reinterpret_cast<const uint8_t*>(buffer.data() + 4), length);
        }
        buffer.erase(0, 4 + length);
        continue;
      }
      const size_t end = buffer.find("\r\n\r\n");
      if (end == std::string::npos) {
        if (buffer.size() > kMaxHeadBytes) open = false;
        break;
      }
      RtspRequest request;
      const bool parsed = ParseRtspRequest(buffer.substr(0, end + 4), request);
      const size_t bodyLength = static_cast<size_t>(std::max(0, ReadNumber(request.Header("Content-Length"))));
      if (bodyLength > kMaxBodyBytes) {
        open = false;
        break;
      }
      if (buffer.size() < end + 4 + bodyLength) break;
      request.body = buffer.substr(end + 4, bodyLength);
      buffer.erase(0, end + 4 + bodyLength);
      if (state_.GetFaults().drop) {
        open = false;  // dropped with the request unanswered
        break;
      }
      if (!parsed) {
        connection->Send(Response(400, -1, ""), kSendTimeoutMs, &stop_);
        continue;
      }
      Handle(request, connection);
    }
    if (!open || connection->IsClosed() || state_.GetFaults().drop) break;
    size_t received = 0;
    const platform::IoStatus status = connection->Receive(chunk, sizeof chunk, received, kReadSliceMs, &stop_);
    if (status == platform::IoStatus::Timeout) continue;
    if (status != platform::IoStatus::Ok) break;
    buffer.append(chunk, received);
  }
  connection->Close();
  EndSessions(connection.get(), "closed");
}

bool RtspFrontEnd::Authorize(const RtspRequest& request, RequestRecord& record, int64_t cseq,
                             const ConnectionPtr& connection) {
  const std::string authorization = request.Header("Authorization");
  record.auth = authorization.compare(0, 6, "Basic ") == 0    ? "basic"
                : authorization.compare(0, 7, "Digest ") == 0 ? "digest"
                                                              : "none";
  const Faults faults = state_.GetFaults();
  if (faults.expireNonces) {
    // Once: every nonce given out so far is stale from now on.
    digest_.ExpireAll();
    state_.SetFault("expire_nonces", 0);
  }
  bool stale = false;
  if (auth_.mode == AuthMode::None && !faults.rtsp401) {
    record.authorized = true;
  } else if (faults.rtsp401) {
    record.authorized = false;
  } else if (auth_.mode == AuthMode::Basic && record.auth == "basic") {
    std::vector<uint8_t> decoded;
    Base64Decode(authorization.substr(6), decoded, 1024);
    const std::string pair(decoded.begin(), decoded.end());
    record.user = pair.substr(0, pair.find(':'));
    record.authorized = pair == auth_.user + ":" + auth_.password;
  } else if (auth_.mode == AuthMode::Digest && record.auth == "digest") {
    const auto verdict = digest_.Check(authorization, request.method, request.url, record.user);
    record.authorized = verdict == DigestAuthenticator::Verdict::Accepted;
    stale = verdict == DigestAuthenticator::Verdict::StaleNonce;
  }
  if (record.authorized) return true;
  const bool digest = auth_.mode == AuthMode::Digest;
  // A standard server offers qop, opaque and its algorithm (RFC 7616).
  const std::string challenge = !digest       ? "Basic realm=\"" + auth_.realm + "\""
                                : faults.strict ? digest_.Challenge(stale, true, faults.digestSha256 ? "SHA-256" : "MD5")
                                                : digest_.Challenge(stale, false);
  connection->Send(Response(401, cseq, "WWW-Authenticate: " + challenge + "\r\n"), kSendTimeoutMs, &stop_);
  return false;
}

std::string RtspFrontEnd::Response(int status, int64_t cseq, const std::string& headers, const std::string& body) {
  return RtspResponse(status, cseq, headers, body, state_.GetFaults().strict);
}

std::string RtspFrontEnd::SessionDescription(const PacketizedLoop& stream) {
  return "v=0\r\no=- " + std::to_string(state_.Index()) +
         " 1 IN IP4 127.0.0.1\r\ns=Quellon H.264\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\na=control:*\r\n"
         "a=range:npt=0-\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
         "a=fmtp:96 packetization-mode=1;profile-level-id=" +
         Hex(stream.sps, 1, 3) + ";sprop-parameter-sets=" + Base64Encode(stream.sps.data(), stream.sps.size()) + "," +
         Base64Encode(stream.pps.data(), stream.pps.size()) + "\r\na=framerate:" + std::to_string(stream.framerate) +
         "\r\na=control:trackID=1\r\n";
}

void RtspFrontEnd::Describe(const RtspRequest& request, int64_t cseq, const ConnectionPtr& connection) {
  if (!IsStreamPath(request.Path())) {
    connection->Send(Response(404, cseq, ""), kSendTimeoutMs, &stop_);
    return;
  }
  const auto stream = streams_.Get(CurrentEncoderSettings(), CurrentPacketOptions());
  if (!stream) {
    connection->Send(Response(500, cseq, ""), kSendTimeoutMs, &stop_);
    return;
  }
  const Faults faults = state_.GetFaults();
  std::string headers = "Content-Type: application/sdp\r\n";
  if (faults.contentBase) {
    const size_t authority = request.url.find("://");
    const size_t pathStart = authority == std::string::npos ? std::string::npos : request.url.find('/', authority + 3);
    headers += "Content-Base: " + request.url.substr(0, pathStart) + kStreamPath + "/\r\n";
  }
  if (faults.longDescribe) {
    for (int i = 0; i < 12; ++i) headers += "X-Quellon-Padding-" + std::to_string(i) + ": " + std::string(100, 'q') + "\r\n";
  }
  connection->Send(Response(200, cseq, headers, SessionDescription(*stream)), kSendTimeoutMs, &stop_);
}

void RtspFrontEnd::Setup(const RtspRequest& request, int64_t cseq, const ConnectionPtr& connection) {
  if (!IsStreamPath(request.Path())) {
    connection->Send(Response(404, cseq, ""), kSendTimeoutMs, &stop_);
    return;
  }
  if (!request.SessionId().empty()) {
    // One track only: a second SETUP in a session has nothing to add.
    connection->Send(Response(455, cseq, ""), kSendTimeoutMs, &stop_);
    return;
  }
  const auto stream = streams_.Get(CurrentEncoderSettings(), CurrentPacketOptions());
  if (!stream) {
    connection->Send(Response(500, cseq, ""), kSendTimeoutMs, &stop_);
    return;
  }
  ReapEndedSessions();
  const TransportRequest transport = ParseTransport(request.Header("Transport"));
  if (state_.GetFaults().strict && !transport.tcp && transport.clientRtpPort == 0) {
    // A standard server reads RTP/AVP as UDP, which needs the client's ports.
    connection->Send(Response(461, cseq, ""), kSendTimeoutMs, &stop_);
    return;
  }
  RtspSessionSetup setup;
  setup.id = NewSessionId();
  setup.interleaved = transport.tcp || (transport.clientRtpPort == 0 && !state_.GetFaults().strict);
  setup.channel = static_cast<uint8_t>(state_.GetFaults().interleavedBase);
  setup.connection = connection;
  setup.clientAddress = connection->PeerAddress();
  setup.clientRtpPort = transport.clientRtpPort;
  setup.clientRtcpPort = transport.clientRtcpPort;
  setup.timeoutSeconds = sessionTimeout_;
  auto session = std::make_shared<RtspSession>(setup, state_, stream);
  if (!session->Start()) {
    connection->Send(Response(500, cseq, ""), kSendTimeoutMs, &stop_);
    return;
  }
  state_.RtspSessions().Update(setup.id, [&](RtspSessionRecord& r) {
    r.requests.push_back({request.method, request.Header("CSeq"), request.Header("Authorization")});
  });
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    sessions_[setup.id] = session;
  }
  char ssrc[16];
  snprintf(ssrc, sizeof ssrc, "%08X", static_cast<unsigned>(session->Ssrc()));
  std::string value;
  if (setup.interleaved) {
    value = "RTP/AVP/TCP;unicast;interleaved=" + std::to_string(setup.channel) + "-" +
            std::to_string(setup.channel + 1) + ";ssrc=" + std::string(ssrc);
  } else {
    value = "RTP/AVP;unicast;client_port=" + std::to_string(transport.clientRtpPort) + "-" +
            std::to_string(transport.clientRtcpPort) + ";server_port=" + std::to_string(session->ServerRtpPort()) +
            "-" + std::to_string(session->ServerRtcpPort()) + ";ssrc=" + ssrc;
  }
  connection->Send(Response(200, cseq,
                                "Transport: " + value + "\r\nSession: " + setup.id + ";timeout=" +
                                    std::to_string(sessionTimeout_) + "\r\n"),
                   kSendTimeoutMs, &stop_);
}

void RtspFrontEnd::Handle(const RtspRequest& request, const ConnectionPtr& connection) {
  RequestRecord record;
  record.protocol = "rtsp";
  record.method = request.method;
  record.path = request.url;
  record.timeMs = SimMilliseconds();
  const Faults faults = state_.GetFaults();
  const int64_t sent = request.CSeq();
  const int64_t cseq = sent >= 0 ? sent + faults.cseqOffset : -1;

  std::shared_ptr<RtspSession> session = FindSession(request.SessionId());
  if (session) {
    session->Touch(request.method == "OPTIONS" || request.method == "GET_PARAMETER");
    state_.RtspSessions().Update(session->Id(), [&](RtspSessionRecord& r) {
      r.requests.push_back({request.method, request.Header("CSeq"), request.Header("Authorization")});
    });
  }
  const bool allowed = Authorize(request, record, cseq, connection);
  state_.Log(record);
  if (!allowed) return;

  const std::string& method = request.method;
  if (method == "OPTIONS" || method == "GET_PARAMETER") {
    const std::string sessionLine = session ? "Session: " + session->Id() + "\r\n" : "";
    connection->Send(Response(200, cseq, std::string(kPublic) + sessionLine), kSendTimeoutMs, &stop_);
  } else if (method == "DESCRIBE") {
    Describe(request, cseq, connection);
  } else if (method == "SETUP") {
    Setup(request, cseq, connection);
  } else if (method == "PLAY" || method == "PAUSE" || method == "TEARDOWN") {
    if (!session) {
      connection->Send(Response(454, cseq, ""), kSendTimeoutMs, &stop_);
      return;
    }
    std::string headers = "Session: " + session->Id() + "\r\n";
    if (method == "PLAY") {
      headers += "Range: npt=0.000-\r\nRTP-Info: url=" + request.url + ";seq=" +
                 std::to_string(session->NextSequence()) + ";rtptime=" + std::to_string(session->NextTimestamp()) +
                 "\r\n";
      // The answer goes out before the first interleaved packet.
      connection->Send(Response(200, cseq, headers), kSendTimeoutMs, &stop_);
      session->Play();
    } else if (method == "PAUSE") {
      session->Pause();
      connection->Send(Response(200, cseq, headers), kSendTimeoutMs, &stop_);
    } else {
      // Kept until its thread is done: it still hears the client's BYE.
      session->End("torn down");
      connection->Send(Response(200, cseq, headers), kSendTimeoutMs, &stop_);
    }
  } else {
    connection->Send(Response(501, cseq, std::string(kPublic)), kSendTimeoutMs, &stop_);
  }
}

std::shared_ptr<RtspSession> RtspFrontEnd::FindSession(const std::string& id) {
  if (id.empty()) return nullptr;
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  auto found = sessions_.find(id);
  if (found == sessions_.end() || found->second->Ended()) return nullptr;
  return found->second;
}

void RtspFrontEnd::EndSessions(const RtspConnection* connection, const char* finalState) {
  std::vector<std::shared_ptr<RtspSession>> ending;
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      const bool match =
          connection == nullptr || (it->second->Interleaved() && it->second->Connection() == connection);
      if (match) {
        ending.push_back(it->second);
        it = sessions_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& session : ending) session->End(finalState);
  // The sessions' threads are joined here, outside the lock.
}

void RtspFrontEnd::ReapEndedSessions() {
  std::vector<std::shared_ptr<RtspSession>> ended;
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      if (it->second->Finished()) {
        ended.push_back(it->second);
        it = sessions_.erase(it);
      } else {
        ++it;
      }
    }
  }
}

}  // namespace sim
}  // namespace kestrum
