#include "tools/camera-sim/HttpFrontEnd.h"

#include <microhttpd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>

namespace kestrum {
namespace sim {

namespace {

const char kBoundary[] = "quellonboundary";

std::string Lines(const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::string text;
  for (const auto& [key, value] : pairs) text += key + "=" + value + "\r\n";
  return text;
}

bool ParseNumber(const std::string& text, uint32_t& value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  value = static_cast<uint32_t>(std::stoul(text));
  return true;
}

// A body handed out in pieces, optionally cut off half-way with the
// connection dropped.
struct BodyReader {
  std::string body;
  bool drop;
};

ssize_t ReadBody(void* cls, uint64_t pos, char* buffer, size_t max) {
  auto* reader = static_cast<BodyReader*>(cls);
  const size_t end = reader->drop ? reader->body.size() / 2 : reader->body.size();
  if (pos >= end) return reader->drop ? MHD_CONTENT_READER_END_WITH_ERROR : MHD_CONTENT_READER_END_OF_STREAM;
  const size_t n = std::min<size_t>(max, end - static_cast<size_t>(pos));
  std::memcpy(buffer, reader->body.data() + pos, n);
  return static_cast<ssize_t>(n);
}

void FreeBody(void* cls) { delete static_cast<BodyReader*>(cls); }

}  // namespace

// One parsed request target: path, and the query items in order ("image",
// "_", "key=value"...).
struct HttpFrontEnd::Request {
  std::string method;
  std::string raw;
  std::string path;
  std::vector<std::pair<std::string, std::string>> items;  // value empty for bare words

  bool Has(const std::string& key) const {
    for (const auto& item : items) {
      if (item.first == key) return true;
    }
    return false;
  }
  std::string Value(const std::string& key) const {
    for (const auto& item : items) {
      if (item.first == key) return item.second;
    }
    return std::string();
  }
  static Request Parse(const std::string& method, const std::string& raw) {
    Request r;
    r.method = method;
    r.raw = raw;
    size_t question = raw.find('?');
    r.path = raw.substr(0, question);
    if (question != std::string::npos) {
      std::stringstream query(raw.substr(question + 1));
      std::string item;
      while (std::getline(query, item, '&')) {
        size_t equals = item.find('=');
        if (equals == std::string::npos) {
          r.items.emplace_back(item, std::string());
        } else {
          r.items.emplace_back(item.substr(0, equals), item.substr(equals + 1));
        }
      }
    }
    return r;
  }
};

// The stream of one "/nph-mjpeg.cgi" request.
struct MjpegStream {
  HttpFrontEnd* owner = nullptr;
  uint32_t fps = 1;
  std::string part;
  size_t partPos = 0;
  uint64_t nextDueMs = 0;
  uint64_t sent = 0;
  uint32_t number = 0;
  bool dropNow = false;
  std::mt19937 random{12345};
};

// What the library keeps for us per request.
struct RequestContext {
  std::string uri;
  bool headersSeen = false;
};

struct HttpCallbacks {
  static MHD_Result OnRequest(void* self, MHD_Connection* connection, const char* /*url*/, const char* method,
                              const char* /*version*/, const char* /*uploadData*/, size_t* uploadSize,
                              void** context) {
    auto* front = static_cast<HttpFrontEnd*>(self);
    auto* request = static_cast<RequestContext*>(*context);
    if (request == nullptr) return MHD_NO;
    // Answering on the first call, before the end of the request is known,
    // would make the library close the connection after the reply.
    if (!request->headersSeen) {
      request->headersSeen = true;
      return MHD_YES;
    }
    if (uploadSize != nullptr && *uploadSize != 0) {
      *uploadSize = 0;  // request bodies are ignored
      return MHD_YES;
    }
    int result = front->Handle(connection, method != nullptr ? method : "", request->uri);
    return result == MHD_YES ? MHD_YES : MHD_NO;
  }

  static void* OnUri(void* /*self*/, const char* uri, MHD_Connection* /*connection*/) {
    auto* request = new RequestContext();
    request->uri = uri != nullptr ? uri : "/";
    return request;
  }

  static void OnCompleted(void* /*self*/, MHD_Connection* /*connection*/, void** context,
                          MHD_RequestTerminationCode /*reason*/) {
    delete static_cast<RequestContext*>(*context);
    *context = nullptr;
  }

  static ssize_t ReadStream(void* cls, uint64_t /*pos*/, char* buffer, size_t max) {
    auto* stream = static_cast<MjpegStream*>(cls);
    HttpFrontEnd* front = stream->owner;
    while (stream->partPos >= stream->part.size()) {
      if (stream->dropNow) return MHD_CONTENT_READER_END_WITH_ERROR;
      if (front->Stopping()) return MHD_CONTENT_READER_END_OF_STREAM;
      const Faults faults = front->State().GetFaults();
      if (faults.stall) {
        front->Pause(50);
        continue;
      }
      if (faults.closeAfter != 0 && stream->sent >= faults.closeAfter) return MHD_CONTENT_READER_END_OF_STREAM;
      const uint64_t now = SimMilliseconds();
      if (now < stream->nextDueMs) {
        front->Pause(stream->nextDueMs - now);
        continue;
      }
      if (!BuildPart(*stream, faults)) return MHD_CONTENT_READER_END_WITH_ERROR;
      // Keep the rate; after a long delay (a new picture set being encoded)
      // start the schedule afresh instead of sending the missed pictures in a burst.
      const uint64_t interval = 1000 / stream->fps;
      const uint64_t after = SimMilliseconds();
      stream->nextDueMs = after > stream->nextDueMs + interval ? after + interval : stream->nextDueMs + interval;
    }
    const size_t n = std::min(max, stream->part.size() - stream->partPos);
    std::memcpy(buffer, stream->part.data() + stream->partPos, n);
    stream->partPos += n;
    return static_cast<ssize_t>(n);
  }

  static bool BuildPart(MjpegStream& stream, const Faults& faults) {
    HttpFrontEnd* front = stream.owner;
    const ImageSettings settings = front->State().Settings();
    const Resolution size = front->State().CurrentResolution();
    auto pictures = front->Pictures().Get(size.width, size.height, settings.quality);
    if (!pictures || pictures->empty()) return false;
    std::string jpeg = (*pictures)[stream.number % pictures->size()];
    ++stream.number;
    if (faults.truncate && jpeg.size() > 2) jpeg.resize(jpeg.size() - 2);  // no end-of-image marker
    std::string part;
    if (faults.garbage) {
      // Printable noise: no 0xFF, so it cannot pass for a JPEG marker.
      std::uniform_int_distribution<int> letter('A', 'Z');
      part += "garbage ";
      for (int i = 0; i < 200; ++i) part += static_cast<char>(letter(stream.random));
      part += "\r\n";
    }
    part += std::string("--") + kBoundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
            std::to_string(jpeg.size()) + "\r\n\r\n" + jpeg + "\r\n";
    if (faults.drop) {
      part.resize(part.size() / 2);
      stream.dropNow = true;
    }
    stream.part.swap(part);
    stream.partPos = 0;
    ++stream.sent;
    front->State().Count(&Counters::picturesSent);
    return true;
  }

  static void FreeStream(void* cls) {
    auto* stream = static_cast<MjpegStream*>(cls);
    stream->owner->State().Count(&Counters::streamsOpen, -1);
    delete stream;
  }
};

HttpFrontEnd::HttpFrontEnd(CameraState& state, PictureFactory& pictures, const AuthConfig& auth)
    : state_(state), pictures_(pictures), auth_(auth), digest_(auth.realm, auth.user, auth.password) {}

HttpFrontEnd::~HttpFrontEnd() { Stop(); }

bool HttpFrontEnd::Start(intptr_t listeningHandle, uint16_t port) {
  stopping_ = false;
  // Before the daemon's threads exist: they read it in every state reply.
  port_ = port;
  // poll(), not select(): one simulator serves hundreds of cameras, and
  // select() cannot take a descriptor numbered 1024 or above.
  daemon_ = MHD_start_daemon(MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO, port,
                             nullptr,
                             nullptr, &HttpCallbacks::OnRequest, this, MHD_OPTION_LISTEN_SOCKET,
                             static_cast<MHD_socket>(listeningHandle), MHD_OPTION_URI_LOG_CALLBACK,
                             &HttpCallbacks::OnUri, this, MHD_OPTION_NOTIFY_COMPLETED, &HttpCallbacks::OnCompleted,
                             this, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    port_ = 0;
    return false;
  }
  return true;
}

void HttpFrontEnd::Stop() {
  if (daemon_ == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(pauseMutex_);
    stopping_ = true;
  }
  pauseWake_.notify_all();
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

bool HttpFrontEnd::Pause(uint64_t ms) {
  std::unique_lock<std::mutex> lock(pauseMutex_);
  return !pauseWake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_.load(); });
}

int HttpFrontEnd::Reply(MHD_Connection* connection, unsigned status, const std::string& body, bool drop,
                        const char* contentType) {
  MHD_Response* response =
      drop ? MHD_create_response_from_callback(body.size(), 16 * 1024, &ReadBody, new BodyReader{body, drop},
                                               &FreeBody)
           : MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, "Content-Type", contentType);
  MHD_add_response_header(response, "Server", "Quellon camera simulator");
  int result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

int HttpFrontEnd::Handle(MHD_Connection* connection, const std::string& method, const std::string& rawPath) {
  const Request request = Request::Parse(method, rawPath);
  if (request.path.compare(0, 5, "/sim/") == 0) return HandleControl(connection, request);
  return HandleCamera(connection, request);
}

bool HttpFrontEnd::Authorize(MHD_Connection* connection, RequestRecord& record, int& queued) {
  const char* header = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Authorization");
  std::string authorization = header != nullptr ? header : "";
  record.auth = authorization.compare(0, 6, "Basic ") == 0    ? "basic"
                : authorization.compare(0, 7, "Digest ") == 0 ? "digest"
                                                              : "none";
  if (auth_.mode == AuthMode::None) {
    record.authorized = true;
    return true;
  }
  bool staleNonce = false;
  if (auth_.mode == AuthMode::Basic && record.auth == "basic") {
    char* password = nullptr;
    char* user = MHD_basic_auth_get_username_password(connection, &password);
    record.user = user != nullptr ? user : "";
    record.authorized = user != nullptr && password != nullptr && auth_.user == user && auth_.password == password;
    MHD_free(user);
    MHD_free(password);
  } else if (auth_.mode == AuthMode::Digest && record.auth == "digest") {
    // Verified here rather than by the server library, whose nonce book-keeping
    // refuses one of two clients that log in at the same moment.
    const DigestAuthenticator::Verdict verdict =
        digest_.Check(authorization, record.method, record.path, record.user);
    record.authorized = verdict == DigestAuthenticator::Verdict::Accepted;
    staleNonce = verdict == DigestAuthenticator::Verdict::StaleNonce;
  }
  if (record.authorized) return true;

  const std::string body = "401 Unauthorized\r\n";
  MHD_Response* response = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                           MHD_RESPMEM_MUST_COPY);
  if (auth_.mode == AuthMode::Basic) {
    queued = MHD_queue_basic_auth_fail_response(connection, auth_.realm.c_str(), response);
  } else {
    MHD_add_response_header(response, "WWW-Authenticate", digest_.Challenge(staleNonce).c_str());
    queued = MHD_queue_response(connection, 401, response);
  }
  MHD_destroy_response(response);
  return false;
}

int HttpFrontEnd::HandleCamera(MHD_Connection* connection, const Request& request) {
  RequestRecord record;
  record.protocol = "http";
  record.method = request.method;
  record.path = request.raw;
  record.timeMs = SimMilliseconds();
  int queued = MHD_NO;
  const bool allowed = Authorize(connection, record, queued);
  state_.Log(record);
  if (!allowed) return queued;

  const Faults faults = state_.GetFaults();
  if (faults.slowMs > 0 && !Pause(faults.slowMs)) return MHD_NO;
  if (faults.error500) return Reply(connection, 500, "500 Internal Server Error\r\n");

  if (request.path == "/info.cgi") {
    if (request.Has("resolutions")) {
      std::string body;
      const auto& list = state_.Resolutions();
      for (size_t i = 0; i < list.size(); ++i) {
        body += std::to_string(i) + "," + std::to_string(list[i].width) + "x" + std::to_string(list[i].height) +
                "," + std::to_string(list[i].maxFps) + "\r\n";
      }
      return Reply(connection, 200, body, faults.drop);
    }
    return Reply(connection, 200,
                 Lines({{"vendor", "Quellon"},
                        {"type", "QN"},
                        {"subtype", "4000"},
                        {"serial", "QN4000-" + std::to_string(100000 + state_.Index())},
                        {"h264", "1"},
                        {"h264_rtsp", std::to_string(rtspPort_.load()) + "/nph-h264.cgi"},
                        {"external_inputs", std::to_string(state_.InputCount())},
                        {"relay", std::to_string(state_.RelayCount())},
                        {"video_inputs", "1"},
                        {"version", "2.4.1"}}),
                 faults.drop);
  }
  if (request.path == "/admin.cgi") return HandleAdmin(connection, request, faults);
  if (request.path == "/io.cgi") {
    if (request.Has("relay")) {
      const std::string value = request.Value("relay");
      if (value != "0" && value != "1") return Reply(connection, 400, "bad relay value\r\n");
      state_.SetRelay(value == "1" ? 1 : 0);
    }
    std::vector<std::pair<std::string, std::string>> lines;
    const std::vector<int> inputs = state_.Inputs();
    for (size_t i = 0; i < inputs.size(); ++i) lines.emplace_back("trigger" + std::to_string(i + 1), std::to_string(inputs[i]));
    lines.emplace_back("relay", std::to_string(state_.Relay()));
    return Reply(connection, 200, Lines(lines), faults.drop);
  }
  if (request.path == "/nph-mjpeg.cgi") return HandleStream(connection, request, faults);
  return Reply(connection, 404, "404 Not Found\r\n");
}

int HttpFrontEnd::HandleAdmin(MHD_Connection* connection, const Request& request, const Faults& faults) {
  if (request.Has("tablist")) return Reply(connection, 200, "tablist=image,network,io,users\r\n", faults.drop);
  if (!request.Has("image")) return Reply(connection, 404, "404 Not Found\r\n");
  std::vector<std::pair<std::string, std::string>> changes;
  for (const auto& item : request.items) {
    if (item.first != "image" && item.first != "_") changes.push_back(item);
  }
  if (changes.empty()) {
    if (faults.emptySettings) return Reply(connection, 200, "");
    const ImageSettings s = state_.Settings();
    return Reply(connection, 200,
                 Lines({{"resolution", std::to_string(s.resolution)},
                        {"quality", std::to_string(s.quality)},
                        {"brightness", std::to_string(s.brightness)},
                        {"contrast", std::to_string(s.contrast)},
                        {"h264_framerate", std::to_string(s.h264_framerate)},
                        {"h264_keyframe", std::to_string(s.h264_keyframe)},
                        {"h264_cbr", std::to_string(s.h264_cbr)},
                        {"h264_quality", std::to_string(s.h264_quality)}}),
                 faults.drop);
  }
  if (faults.refuseSettings) return Reply(connection, 403, "403 Forbidden: settings are locked\r\n");
  std::string error;
  if (!state_.ApplySettings(changes, error)) return Reply(connection, 400, "400 Bad Request: " + error + "\r\n");
  return Reply(connection, 200, "OK\r\n");
}

int HttpFrontEnd::HandleStream(MHD_Connection* connection, const Request& request, const Faults& /*faults*/) {
  uint32_t fps = 0;
  if (!ParseNumber(request.Value("fps"), fps)) fps = 1;
  fps = std::max<uint32_t>(1, std::min(fps, state_.CurrentResolution().maxFps));
  auto* stream = new MjpegStream();
  stream->owner = this;
  stream->fps = fps;
  stream->nextDueMs = SimMilliseconds();
  MHD_Response* response =
      MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, &HttpCallbacks::ReadStream, stream,
                                        &HttpCallbacks::FreeStream);
  if (response == nullptr) {
    delete stream;
    return MHD_NO;
  }
  state_.Count(&Counters::streamsOpened);
  state_.Count(&Counters::streamsOpen);
  // A camera's nph- CGI writes the stream raw and ends it by closing.
  MHD_set_response_options(response, MHD_RF_HTTP_1_0_COMPATIBLE_STRICT, MHD_RO_END);
  MHD_add_response_header(response, "Content-Type",
                          (std::string("multipart/x-mixed-replace; boundary=") + kBoundary).c_str());
  MHD_add_response_header(response, "Cache-Control", "no-cache");
  int result = MHD_queue_response(connection, 200, response);
  MHD_destroy_response(response);
  return result;
}

int HttpFrontEnd::HandleControl(MHD_Connection* connection, const Request& request) {
  if (request.path == "/sim/state") {
    return Reply(connection, 200, state_.ToJson(port_, rtspPort_.load()), false,
                 "application/json");
  }
  if (request.path == "/sim/reset") {
    state_.Reset();
    return Reply(connection, 200, "OK\r\n");
  }
  if (request.path == "/sim/input") {
    uint32_t index = 0;
    uint32_t value = 0;
    if (request.Has("toggle") && ParseNumber(request.Value("n"), index) && index >= 1 &&
        index <= state_.InputCount()) {
      state_.ToggleInput(index);
      return Reply(connection, 200, "OK\r\n");
    }
    if (!ParseNumber(request.Value("n"), index) || !ParseNumber(request.Value("state"), value) ||
        !state_.SetInput(index, static_cast<int>(value))) {
      return Reply(connection, 400, "usage: /sim/input?n=INPUT&state=0|1 or /sim/input?n=INPUT&toggle\r\n");
    }
    return Reply(connection, 200, "OK\r\n");
  }
  if (request.path == "/sim/fault") {
    uint32_t value = 1;
    if (request.Has("value") && !ParseNumber(request.Value("value"), value)) {
      return Reply(connection, 400, "bad value\r\n");
    }
    if (!state_.SetFault(request.Value("name"), value)) {
      return Reply(connection, 400,
                   "unknown fault; known: stall close_after refuse_settings empty_settings truncate garbage slow "
                   "error500 drop\r\n");
    }
    return Reply(connection, 200, "OK\r\n");
  }
  if (request.path == "/sim/settings") {
    std::string error;
    if (!state_.ApplySettings(request.items, error)) return Reply(connection, 400, error + "\r\n");
    return Reply(connection, 200, "OK\r\n");
  }
  return Reply(connection, 404, "unknown control page\r\n");
}

}  // namespace sim
}  // namespace kestrum
