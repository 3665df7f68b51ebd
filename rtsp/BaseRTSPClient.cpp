#include "rtsp/BaseRTSPClient.h"

#include <algorithm>
#include <new>
#include <random>

#include "foundation/TextUtils.h"
#include "platform/Clock.h"
#include "platform/Network.h"
#include "platform/Thread.h"
#include "rtsp/Base64.h"
#include "rtsp/MD5.h"
#include "rtsp/RTCPHandler.h"
#include "rtsp/SHA256.h"
#include "rtsp/RTPReceiverUser.h"
#include "rtsp/RTSPStreamParser.h"

namespace kestrum {

namespace {
constexpr uint32_t kLoopWaitMs = 2000;
constexpr uint32_t kShortestLoopWaitMs = 250;
// An unanswered keep-alive is tried again after this long.
constexpr uint32_t kKeepAliveRetryMs = 1000;
constexpr size_t kInterleavedChunk = 8192;
constexpr size_t kResponseChunk = 4096;
// While stopping, TEARDOWN still goes out, but a camera that does not
// answer must not hold the stop up.
constexpr uint32_t kTeardownReplyMs = 1000;
constexpr uint8_t kRtcpSenderReport = 200;
// A camera that keeps calling its nonce stale is refusing after all.
constexpr uint32_t kStaleNonceRetries = 2;
// Slices of a quiet interleaved read, so that keep-alives go out on time.
constexpr uint32_t kInterleavedSliceMs = 250;
const char kUserAgent[] = "User-Agent: Kestrum\r\n";
}  // namespace

const char* RTSPMethodName(uint32_t method) {
  switch (method) {
    case kRtspDescribe: return "DESCRIBE";
    case kRtspSetup: return "SETUP";
    case kRtspPlay: return "PLAY";
    case kRtspTeardown: return "TEARDOWN";
    case kRtspOptions: return "OPTIONS";
    case kRtspPause: return "PAUSE";
    default: return "";
  }
}

CBaseRTSPClient::CBaseRTSPClient(IDebugMessage* log) : CBaseThread(log) {}

CBaseRTSPClient::~CBaseRTSPClient() { StopSession(); }

bool CBaseRTSPClient::StartSession(const RTSP_CLIENT_SETTINGS& settings, IRTPReceiverUser* owner, uint32_t mode) {
  // A session still running reads the settings: end it before they change.
  StopSession();
  parser_.Reset();
  pending_.clear();
  countedNonce_.clear();
  nonceCount_ = 0;
  SetFailure("");
  memoryShort_.store(false);
  settings_ = settings;
  mode_ = mode;
  owner_ = owner;
  std::string failure;
  if (!Connect()) {
    failure = FormatString("cannot connect to the RTSP port %u of %s (refused, timed out or unresolved)",
                           static_cast<unsigned>(settings_.ServerPort), settings_.Host.c_str());
  } else if (!Start("RTSP Client Thread")) {
    // The camera was there: what failed is ours.
    failure = "cannot start a thread: " + platform::ThreadStartFailure();
  } else {
    return true;
  }
  StopSession();
  SetFailure(failure);
  return false;
}

void CBaseRTSPClient::SetFailure(const std::string& failure) {
  CLockGuard guard(failureLock_);
  lastFailure_ = failure;
}

std::string CBaseRTSPClient::LastFailure() {
  CLockGuard guard(failureLock_);
  if (lastFailure_.empty() && memoryShort_.load()) return "the RTSP exchange stopped: not enough memory";
  return lastFailure_;
}

uint32_t CBaseRTSPClient::StopLimitMs() const {
  return 2 * std::max(settings_.SendTimeout, settings_.ReceiveTimeout) + 1000;
}

void CBaseRTSPClient::StopSession() {
  StopThread(StopLimitMs());
  socket_.Close();
  pending_.clear();
  keepAliveSent_ = false;
  lastKeepAliveMs_ = 0;
  owner_ = nullptr;
}

bool CBaseRTSPClient::Connect(platform::NativeEvent* stop) {
  if (settings_.Host.empty()) return false;
  const uint32_t address = platform::LookupIPv4(settings_.Host.c_str());
  if (address == 0) return false;
  // First on the owner's thread before the session thread exists, where the
  // connect time-out bounds it; again on the session thread with its stop.
  if (socket_.Connect(address, settings_.ServerPort, settings_.ConnectTimeout, stop) != platform::IoStatus::Ok) {
    return false;
  }
  if (!socket_.SetReceiveBuffer(settings_.ReceiveBuffer)) {
    socket_.Close();
    return false;
  }
  return true;
}

std::string CBaseRTSPClient::BaseUrl() const {
  if (parser_.ContentBase.find("rtsp://") != std::string::npos) return parser_.ContentBase;
  std::string url = FormatString("rtsp://%s:%u/", settings_.Host.c_str(), static_cast<unsigned>(settings_.ServerPort));
  const size_t start = settings_.Path.find_first_not_of('/');
  if (start != std::string::npos) url += settings_.Path.substr(start);
  return url;
}

std::string CBaseRTSPClient::SetupUrl() const {
  std::string control;
  if (settings_.Media >= 1 && settings_.Media <= 3) control = parser_.Media[settings_.Media - 1].Control;
  if (control.find("://") != std::string::npos) return control;
  std::string url = BaseUrl();
  if (control.empty()) return url;
  if (!url.empty() && url.back() == '/') url.pop_back();
  if (control.front() != '/') url += '/';
  return url + control;
}

std::string CBaseRTSPClient::TransportLine() const {
  std::string profile;
  if (settings_.Media >= 1 && settings_.Media <= 3) profile = parser_.Media[settings_.Media - 1].Profile;
  std::string ports = FormatString(";client_port=%u-%u", static_cast<unsigned>(settings_.ClientRtpPort),
                                   static_cast<unsigned>(settings_.ClientRtcpPort));
  if (mode_ == kRtpModeUdp) {
    profile = "RTP/AVP";
  } else if (!bareTransport_) {
    // RFC 2326, 12.39: interleaved RTP is asked for by its lower transport
    // and channels; "RTP/AVP" alone is UDP to a standard server.
    return "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n";
  } else {
    if (profile.empty()) profile = "RTP/AVP/TCP";
    if (mode_ != kRtpModeTcp) ports.clear();
  }
  return "Transport: " + profile + ";unicast" + ports + "\r\n";
}

std::string CBaseRTSPClient::AuthorizationLine(uint32_t method, const std::string& url) {
  if (settings_.AuthScheme == CRTSPResponseParser::kBasic) {
    // No length limit: long credentials are sent, not dropped.
    return "Authorization: Basic " + Base64Encode(settings_.UserName + ":" + settings_.Password) + "\r\n";
  }
  if (settings_.AuthScheme != CRTSPResponseParser::kDigest) return std::string();
  if (parser_.Scheme != CRTSPResponseParser::kDigest || parser_.Realm.empty() || parser_.Nonce.empty() ||
      settings_.UserName.empty() || settings_.Password.empty() || url.empty()) {
    return std::string();
  }
  // RFC 7616 (RFC 2617 when the camera offers no qop). The uri is the
  // request's own URL, which the server hashes with; SETUP's differs from
  // the base URL.
  const std::string algorithm = ToLowerCopy(parser_.Algorithm);
  const bool sha256 = algorithm == "sha-256" || algorithm == "sha-256-sess";
  const bool session = algorithm == "md5-sess" || algorithm == "sha-256-sess";
  if (!algorithm.empty() && !sha256 && algorithm != "md5" && algorithm != "md5-sess") return std::string();
  auto hash = [sha256](const std::string& text) { return sha256 ? CSHA256::Hex(text) : CMD5::Hex(text); };
  std::string qop;
  for (const std::string& option : SplitString(ToLowerCopy(parser_.Qop), ',')) {
    const std::string offered = TrimBlanks(option);
    if (offered == "auth") qop = offered;
    if (offered == "auth-int" && qop.empty()) qop = offered;
  }
  if (parser_.Nonce != countedNonce_) {
    countedNonce_ = parser_.Nonce;
    nonceCount_ = 0;
  }
  const std::string count = FormatString("%08x", ++nonceCount_);
  if (clientNonce_.empty()) {
    std::random_device random;
    clientNonce_ = FormatString("%08x%08x", random(), random());
  }
  std::string ha1 = hash(settings_.UserName + ":" + parser_.Realm + ":" + settings_.Password);
  if (session) ha1 = hash(ha1 + ":" + parser_.Nonce + ":" + clientNonce_);
  // RTSP requests of this client carry no body: auth-int hashes an empty one.
  std::string ha2 = std::string(RTSPMethodName(method)) + ":" + url;
  if (qop == "auth-int") ha2 += ":" + hash("");
  ha2 = hash(ha2);
  const std::string response = qop.empty()
                                   ? hash(ha1 + ":" + parser_.Nonce + ":" + ha2)
                                   : hash(ha1 + ":" + parser_.Nonce + ":" + count + ":" + clientNonce_ + ":" + qop + ":" + ha2);
  std::string line = FormatString("Authorization: Digest username=\"%s\", realm=\"%s\", nonce=\"%s\", uri=\"%s\", "
                                  "response=\"%s\"",
                                  settings_.UserName.c_str(), parser_.Realm.c_str(), parser_.Nonce.c_str(), url.c_str(),
                                  response.c_str());
  if (!parser_.Algorithm.empty()) line += ", algorithm=" + parser_.Algorithm;
  if (!qop.empty()) line += ", qop=" + qop + ", nc=" + count + ", cnonce=\"" + clientNonce_ + "\"";
  if (!parser_.Opaque.empty()) line += ", opaque=\"" + parser_.Opaque + "\"";
  return line + "\r\n";
}

std::string CBaseRTSPClient::BuildRequest(uint32_t method) {
  const std::string name = RTSPMethodName(method);
  if (name.empty()) return std::string();
  const std::string base = BaseUrl();
  const std::string url = method == kRtspSetup ? SetupUrl() : base;
  ++parser_.CSeq;
  const std::string cseq = FormatString("CSeq: %u\r\n", static_cast<unsigned>(parser_.CSeq));
  const std::string authorization = AuthorizationLine(method, url);
  const std::string session = parser_.SessionId.empty() ? std::string() : "Session: " + parser_.SessionId + "\r\n";
  const std::string range = "Range: " + (settings_.Range.empty() ? std::string("npt=0.000-") : settings_.Range) + "\r\n";

  std::string request = name + " " + url + " RTSP/1.0\r\n" + cseq + authorization + kUserAgent;
  switch (method) {
    case kRtspDescribe: request += "Accept: application/sdp\r\n"; break;
    case kRtspSetup: request += TransportLine(); break;
    case kRtspPlay:
    case kRtspPause: request += session + range; break;
    default: request += session; break;
  }
  return request + "\r\n";
}

bool CBaseRTSPClient::SendRequest(uint32_t method) {
  if (!socket_.IsOpen()) return false;
  const std::string request = BuildRequest(method);
  if (request.empty()) return false;
  // Once stopping, only TEARDOWN goes out: the stop event must not cut it
  // short (the send time-out bounds it).
  platform::NativeEvent* stop = IsStopRequested() ? nullptr : StopEvent().Native();
  return socket_.SendAll(request, settings_.SendTimeout, stop) == platform::IoStatus::Ok;
}

bool CBaseRTSPClient::ReadResponse(std::string& response) {
  response.clear();
  const bool stopping = IsStopRequested();
  platform::NativeEvent* stop = stopping ? nullptr : StopEvent().Native();
  const uint32_t timeoutMs = stopping ? std::min(settings_.ReceiveTimeout, kTeardownReplyMs) : settings_.ReceiveTimeout;
  std::string text;
  text.swap(pending_);
  size_t expected = 0;  // 0 until the header block has ended
  char buffer[kResponseChunk];
  for (;;) {
    if (expected == 0) {
      const size_t end = text.find("\r\n\r\n");
      if (end != std::string::npos) {
        if (end + 4 > kMaxHeaderBytes) return NoteAnswerRejected();
        const std::string head = ToLowerCopy(text.substr(0, end + 4));
        const int32_t length = ReadNumber(GetLineValue(head, "content-length", ":", "\r\n"));
        if (length < 0 || static_cast<size_t>(length) > kMaxBodyBytes) return NoteAnswerRejected();
        expected = end + 4 + static_cast<size_t>(length);
      } else if (text.size() > kMaxHeaderBytes) {
        return NoteAnswerRejected();
      }
    }
    if (expected != 0 && text.size() >= expected) {
      pending_ = text.substr(expected);
      text.resize(expected);
      break;
    }
    size_t received = 0;
    const platform::IoStatus status = socket_.Receive(buffer, sizeof buffer, received, timeoutMs, stop);
    if (status == platform::IoStatus::Stopped) return false;
    // Silence, a closed connection or an error: what arrived is all there is.
    if (status != platform::IoStatus::Ok) break;
    text.append(buffer, received);
  }
  response.swap(text);
  answerArrived_ = !response.empty();
  return answerArrived_;
}

bool CBaseRTSPClient::NoteAnswerRejected() {
  answerArrived_ = true;
  return false;
}

bool CBaseRTSPClient::SendAndRead(uint32_t method) {
  parser_.StatusCode = 0;  // stays 0 when no answer comes
  answerArrived_ = false;
  if (!SendRequest(method)) return false;
  if (method == kRtspPlay && mode_ != kRtpModeUdp) {
    // The answer passes among the frames unread; the stream ending later is
    // no refusal of the PLAY.
    const bool ended = ReceiveInterleaved();
    parser_.StatusCode = 200;
    return ended;
  }
  std::string response;
  if (!ReadResponse(response)) return false;
  return parser_.Parse(method, response);
}

bool CBaseRTSPClient::SendWithRetry(uint32_t method) {
  if (IsStopRequested() && method != kRtspTeardown) return false;
  const bool answered = SendAndRead(method) && AnswerChallenges(method);
  if (answered && parser_.StatusCode / 100 == 2) return true;
  if (method != kRtspTeardown && !IsStopRequested()) NoteFailure(method);
  return false;
}

void CBaseRTSPClient::NoteFailure(uint32_t method) {
  const char* name = RTSPMethodName(method);
  if (parser_.StatusCode == 0) {
    SetFailure(FormatString("no answer to %s", name));
  } else {
    SetFailure(FormatString("%s answered %u%s", name, static_cast<unsigned>(parser_.StatusCode),
                            parser_.StatusCode == 401 ? " (login refused)" : ""));
  }
}

bool CBaseRTSPClient::AnswerChallenges(uint32_t method) {
  bool schemeTried = false;
  uint32_t staleNonces = 0;
  while (parser_.StatusCode == 401) {
    if (!schemeTried && parser_.Scheme != settings_.AuthScheme) {
      settings_.AuthScheme = parser_.Scheme;
      schemeTried = true;
    } else if (parser_.Scheme == CRTSPResponseParser::kDigest && parser_.Stale && staleNonces < kStaleNonceRetries) {
      ++staleNonces;
    } else {
      return true;  // refused: the caller sees the 401
    }
    if (!SendAndRead(method)) return false;
  }
  return true;
}

void CBaseRTSPClient::SendInterleaved(uint8_t channel, const std::vector<uint8_t>& packet) {
  if (!socket_.IsOpen() || packet.empty() || packet.size() > 0xFFFF) return;
  std::string frame = {'$', static_cast<char>(channel), static_cast<char>(packet.size() >> 8),
                       static_cast<char>(packet.size() & 0xFF)};
  frame.append(packet.begin(), packet.end());
  platform::NativeEvent* stop = IsStopRequested() ? nullptr : StopEvent().Native();
  socket_.SendAll(frame, settings_.SendTimeout, stop);
}

bool CBaseRTSPClient::SetUp() {
  bareTransport_ = false;
  parser_.InterleavedChannel = -1;
  if (SendWithRetry(kRtspSetup)) return true;
  if (mode_ == kRtpModeUdp || (parser_.StatusCode != 461 && parser_.StatusCode != 400)) return false;
  bareTransport_ = true;
  if (!SendWithRetry(kRtspSetup)) return false;
  SetFailure("");  // the bare form did it
  return true;
}

uint32_t CBaseRTSPClient::KeepAlivePeriodMs() const {
  const uint32_t seconds = parser_.SessionTimeout != 0 ? parser_.SessionTimeout : settings_.SessionTimeout;
  return seconds * 1000 / 2;
}

void CBaseRTSPClient::KeepAlive(bool readResponse) {
  const uint64_t now = platform::MonotonicMilliseconds();
  if (keepAliveSent_ && now - lastKeepAliveMs_ <= KeepAlivePeriodMs()) return;
  if (!IsStopRequested()) {
    if (readResponse) {
      bool answered = SendAndRead(kRtspOptions);
      // Over UDP the session outlives its control connection (RFC 2326, 1.1):
      // a camera that closed it still sends, and would end the session at its
      // time-out, pictures and all. The keep-alive goes over a new connection.
      // A camera that answered, if only to refuse OPTIONS (454, 405, 501, or
      // a reply we cannot read), has its connection open: no new one.
      if (!answered && !answerArrived_ && mode_ == kRtpModeUdp && !IsStopRequested()) {
        socket_.Close();
        answered = Connect(StopEvent().Native()) && SendAndRead(kRtspOptions);
      }
      if (answered) AnswerChallenges(kRtspOptions);
      lastKeepAliveMs_ = platform::MonotonicMilliseconds();
      keepAliveSent_ = true;
      // Unanswered, it is tried again soon, not a half time-out later: a
      // camera that refused the new connection for a while (or dropped it)
      // would otherwise end the session first. A refusal is not retried
      // sooner: it would only be refused again.
      if (!answered && !answerArrived_ && KeepAlivePeriodMs() > kKeepAliveRetryMs) {
        lastKeepAliveMs_ -= KeepAlivePeriodMs() - kKeepAliveRetryMs;
      }
      return;
    } else {
      // Interleaved: the answer arrives among the RTP frames and the stream
      // parser passes over it.
      SendRequest(kRtspOptions);
    }
  }
  lastKeepAliveMs_ = platform::MonotonicMilliseconds();
  keepAliveSent_ = true;
}

bool CBaseRTSPClient::ReceiveInterleaved() {
  CRTSPStreamParser stream(owner_);
  // The channel the server named; channel 0 when it named none.
  const uint8_t rtpChannel = static_cast<uint8_t>(parser_.InterleavedChannel > 0 ? parser_.InterleavedChannel : 0);
  const uint8_t rtcpChannel = static_cast<uint8_t>(rtpChannel + 1);
  stream.SetRtpChannel(rtpChannel);
  // The camera's RTCP is answered on the next channel as over UDP (RFC 3550,
  // 6.4.2; RFC 2326, 10.12): servers also end sessions that stay silent there.
  CRTCPHandler rtcp(nullptr);
  bool senderReportSeen = false;
  stream.SetSequenceObserver([&rtcp](uint16_t sequence) { rtcp.RecordSequence(sequence); });
  stream.SetRtcpHandler([&](const uint8_t* data, size_t size) {
    if (!rtcp.NoteInterleavedReport(data, static_cast<uint32_t>(size))) return;
    senderReportSeen = senderReportSeen || data[1] == kRtcpSenderReport;
    SendInterleaved(rtcpChannel, rtcp.BuildReceiverReport());
  });
  const bool ended = ReadFrames(stream);
  if (senderReportSeen) SendInterleaved(rtcpChannel, rtcp.BuildBye());  // before TEARDOWN, as over UDP
  return ended;
}

bool CBaseRTSPClient::ReadFrames(CRTSPStreamParser& stream) {
  if (!pending_.empty()) {
    stream.Feed(reinterpret_cast<const uint8_t*>(pending_.data()), pending_.size());
    pending_.clear();
  }
  if (!keepAliveSent_) {
    // The PLAY just sent keeps the session alive as well as an OPTIONS.
    lastKeepAliveMs_ = platform::MonotonicMilliseconds();
    keepAliveSent_ = true;
  }
  uint8_t buffer[kInterleavedChunk];
  uint64_t lastDataMs = platform::MonotonicMilliseconds();
  for (;;) {
    if (IsStopRequested()) return false;
    // A camera ends a session that hears no request within its time-out,
    // however much it is sending.
    KeepAlive(false);
    size_t received = 0;
    const platform::IoStatus status =
        socket_.Receive(buffer, sizeof buffer, received, kInterleavedSliceMs, StopEvent().Native());
    if (status == platform::IoStatus::Stopped) return false;
    if (status == platform::IoStatus::Timeout) {
      if (platform::MonotonicMilliseconds() - lastDataMs >= settings_.ReceiveTimeout) return true;
      continue;
    }
    if (status != platform::IoStatus::Ok) return true;
    if (IsStopRequested()) return false;
    lastDataMs = platform::MonotonicMilliseconds();
    stream.Feed(buffer, received);
  }
}

void CBaseRTSPClient::Run() {
  try {
    RunSession();
  } catch (const std::bad_alloc&) {
    // The thread ends either way; without this the channel could only say
    // that the session brought no picture.
    memoryShort_.store(true);
  }
}

void CBaseRTSPClient::RunSession() {
  pauseEvent_.Reset();
  playEvent_.Reset();
  if (IsStopRequested()) return;
  if (!SendAndRead(kRtspDescribe) || !AnswerChallenges(kRtspDescribe) || parser_.StatusCode / 100 != 2) {
    if (!IsStopRequested()) NoteFailure(kRtspDescribe);
    return;
  }
  if (owner_ != nullptr) owner_->OnParameterSets(parser_.ParameterSets);
  if (IsStopRequested()) {
    SendWithRetry(kRtspTeardown);
    return;
  }
  if (SetUp()) {
    if (!paused_) playEvent_.Set();
    // A short session time-out needs more frequent checks than the usual
    // two seconds, or the keep-alive would come too late.
    const uint32_t waitMs =
        std::max(kShortestLoopWaitMs, std::min(kLoopWaitMs, KeepAlivePeriodMs() / 2));
    CEvent* events[] = {&StopEvent(), &pauseEvent_, &playEvent_};
    for (;;) {
      const int fired = WaitForAny(events, 3, waitMs);
      if (fired == 0) break;
      if (fired == 1) {
        if (SendWithRetry(kRtspPause)) paused_ = true;
      } else if (fired == 2) {
        paused_ = false;
        SendWithRetry(kRtspPlay);
      } else {
        KeepAlive(true);
      }
    }
  }
  SendWithRetry(kRtspTeardown);
}

}  // namespace kestrum
