#include "foundation/HttpSender.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "foundation/Event.h"
#include "foundation/TextUtils.h"
#include "platform/Clock.h"
#include "platform/Event.h"

namespace Web {

namespace {

const char kAgentName[] = "Kestrum::HttpSender";
// The body waits in our buffer; past this the transfer pauses until it is read.
constexpr size_t kPauseAbove = 1u << 20;
constexpr size_t kResumeBelow = 256u << 10;
// What the body buffer keeps of its room between requests: a burst that grew
// it towards kPauseAbove gives that back, or every camera would hold its
// largest burst for as long as it records.
constexpr size_t kKeptBufferCapacity = 64u << 10;
// Longest single wait inside libcurl, so a lost wake-up costs at most this.
constexpr int kPollSliceMs = 1000;
constexpr int kStopCheckSliceMs = 50;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

CURL* Easy(void* handle) { return static_cast<CURL*>(handle); }
CURLM* Multi(void* handle) { return static_cast<CURLM*>(handle); }

long CurlScheme(uint32_t schemeBit) {
  switch (schemeBit) {
    case kSchemeBasic:
      return CURLAUTH_BASIC;
    case kSchemeNTLM:
      return CURLAUTH_NTLM;
    case kSchemeDigest:
      return CURLAUTH_DIGEST;
    case kSchemeNegotiate:
      return CURLAUTH_NEGOTIATE;
    default:
      return CURLAUTH_NONE;  // Passport has no modern equivalent
  }
}

uint32_t SchemeBitFromName(const std::string& name) {
  std::string lower = kestrum::ToLowerCopy(name);
  if (lower == "basic") return kSchemeBasic;
  if (lower == "ntlm") return kSchemeNTLM;
  if (lower == "passport1.4") return kSchemePassport;
  if (lower == "digest") return kSchemeDigest;
  if (lower == "negotiate") return kSchemeNegotiate;
  return 0;
}

// The host part of a URL: an address that could change the URL's meaning is refused.
bool HostPart(const std::string& address, std::string& host) {
  if (address.empty()) return false;
  for (char ch : address) {
    if (ch <= ' ' || ch == '/' || ch == '?' || ch == '#' || ch == '@' || ch == '\\' || ch == '[' || ch == ']' ||
        ch == '%' || static_cast<unsigned char>(ch) >= 0x7F) {
      return false;
    }
  }
  host = address.find(':') != std::string::npos ? "[" + address + "]" : address;  // IPv6 literal
  return true;
}

bool StartsWithNoCase(const char* data, size_t size, const char* prefix) {
  size_t n = std::strlen(prefix);
  if (size < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char a = data[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != prefix[i]) return false;
  }
  return true;
}

}  // namespace

CBaseHttpSender::CBaseHttpSender(const kestrum::DEVICE_INFO* device) {
  if (device != nullptr) device_ = *device;
}

CHttpSender::CHttpSender(const kestrum::DEVICE_INFO* device) : CBaseHttpSender(device) {
  GlobalInit();
  multi_ = curl_multi_init();
  easy_ = curl_easy_init();
  if (multi_ != nullptr) curl_multi_setopt(Multi(multi_), CURLMOPT_MAXCONNECTS, 1L);
}

CHttpSender::~CHttpSender() {
  {
    kestrum::CLockGuard guard(operation_);
    CloseLocked();
  }
  if (easy_ != nullptr) curl_easy_cleanup(Easy(easy_));
  if (multi_ != nullptr) curl_multi_cleanup(Multi(multi_));
  curl_slist_free_all(static_cast<curl_slist*>(headerList_));
}

bool CHttpSender::StopRequested() const {
  return closeRequested_.load(std::memory_order_acquire) || (stopEvent_ != nullptr && stopEvent_->Wait(0));
}

size_t CHttpSender::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* sender = static_cast<CHttpSender*>(self);
  const size_t length = size * count;
  sender->bytesSeen_ += length;
  if (StartsWithNoCase(data, length, "http/")) {
    // A new response head (after a redirect or an authentication round).
    const char* space = static_cast<const char*>(std::memchr(data, ' ', length));
    sender->responseStatus_ =
        space != nullptr ? static_cast<uint32_t>(kestrum::ReadNumber(std::string(space, static_cast<size_t>(data + length - space)))) : 0;
    sender->offeredScheme_.clear();
  } else if (StartsWithNoCase(data, length, "www-authenticate:")) {
    if (sender->offeredScheme_.empty()) {
      std::string value = kestrum::TrimBlanks(std::string(data + 17, length - 17));
      sender->offeredScheme_ = value.substr(0, value.find_first_of(" \t\r\n,"));
    }
  } else if ((length == 2 && data[0] == '\r') || (length == 1 && data[0] == '\n')) {
    // Only a 2xx head is surely final here: libcurl may still answer a 401
    // or follow a redirect; those show as body data or as the end.
    if (sender->responseStatus_ >= 200 && sender->responseStatus_ < 300) sender->headDone_ = true;
  }
  return length;
}

size_t CHttpSender::OnBody(char* raw, size_t size, size_t count, void* self) {
  auto* sender = static_cast<CHttpSender*>(self);
  // As bytes, so that the copies below are plain memory moves.
  const uint8_t* data = reinterpret_cast<const uint8_t*>(raw);
  size_t length = size * count;
  sender->headDone_ = true;
  if (sender->directTarget_ != nullptr && sender->directRoom_ > 0) {
    const size_t direct = std::min<size_t>(length, sender->directRoom_);
    sender->directTarget_->insert(sender->directTarget_->end(), data, data + direct);
    sender->directRoom_ -= static_cast<uint32_t>(direct);
    sender->directDelivered_ += static_cast<uint32_t>(direct);
    sender->bytesSeen_ += direct;
    data += direct;
    length -= direct;
    if (length == 0) return size * count;
  }
  const size_t buffered = sender->buffer_.size() - sender->bufferStart_;
  if (buffered > 0 && buffered + length > kPauseAbove && length == size * count) {
    sender->paused_ = true;
    return CURL_WRITEFUNC_PAUSE;  // libcurl keeps these bytes for later
  }
  if (sender->bufferStart_ > 0 && sender->bufferStart_ >= sender->buffer_.size() / 2) {
    sender->buffer_.erase(sender->buffer_.begin(),
                          sender->buffer_.begin() + static_cast<std::ptrdiff_t>(sender->bufferStart_));
    sender->bufferStart_ = 0;
  }
  sender->buffer_.insert(sender->buffer_.end(), data, data + length);
  sender->bytesSeen_ += length;
  return size * count;
}

template <class Ready>
CHttpSender::Pump CHttpSender::Drive(Ready ready, bool waitFirst) {
  const uint32_t idleLimit = device_.ConnectTimeout;
  uint64_t lastProgress = kestrum::platform::MonotonicMilliseconds();
  uint64_t seen = bytesSeen_;
  // The owner's stop event is waited on together with the transfer's sockets.
  curl_waitfd stopWait[1];
  unsigned stopWaitCount = 0;
  if (stopEvent_ != nullptr && stopEvent_->Native() != nullptr && stopEvent_->Native()->PollDescriptor() >= 0) {
    stopWait[0].fd = static_cast<curl_socket_t>(stopEvent_->Native()->PollDescriptor());
    stopWait[0].events = CURL_WAIT_POLLIN;
    stopWait[0].revents = 0;
    stopWaitCount = 1;
  }
  bool wait = waitFirst && !paused_;
  for (;;) {
    if (wait) {
      const uint64_t idle = kestrum::platform::MonotonicMilliseconds() - lastProgress;
      if (idle >= idleLimit) return Pump::TimedOut;
      // Without the stop event in the wait (Windows), the stop is checked
      // between shorter waits instead.
      const uint64_t slice = stopWaitCount != 0 ? kPollSliceMs : kStopCheckSliceMs;
      const int ms = static_cast<int>(std::min<uint64_t>(idleLimit - idle, slice));
      if (curl_multi_poll(Multi(multi_), stopWait, stopWaitCount, ms, nullptr) != CURLM_OK) return Pump::Failed;
    }
    wait = true;
    if (StopRequested()) return Pump::Aborted;
    int running = 0;
    const CURLMcode performed = curl_multi_perform(Multi(multi_), &running);
    if (performed != CURLM_OK) {
      outOfMemory_ = outOfMemory_ || performed == CURLM_OUT_OF_MEMORY;
      return Pump::Failed;
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(Multi(multi_), &queued)) {
      if (message->msg == CURLMSG_DONE) {
        transferDone_ = true;
        transferResult_ = message->data.result;
        outOfMemory_ = outOfMemory_ || message->data.result == CURLE_OUT_OF_MEMORY;
        // An address literal has no name to look up: the library's lookup
        // fails for one only when it cannot start its thread or allocate.
        lookupStarved_ = lookupStarved_ ||
                         (message->data.result == CURLE_COULDNT_RESOLVE_HOST && kestrum::IsAddressLiteral(device_.Address));
      }
    }
    if (ready()) return Pump::Ready;
    if (transferDone_) return Pump::Done;
    if (bytesSeen_ != seen) {
      seen = bytesSeen_;
      lastProgress = kestrum::platform::MonotonicMilliseconds();
    }
  }
}

bool CHttpSender::ConfigureRequest(const HTTP_REQUEST& request, uint32_t& schemeUsed) {
  std::string host;
  if (!HostPart(device_.Address, host)) return false;
  const std::string url = std::string(request.Secure == 1 ? "https://" : "http://") + host + ":" +
                          std::to_string(device_.Port) + (request.Path[0] == '/' ? "" : "/") + request.Path;
  CURL* easy = Easy(easy_);
  const CURLcode set = curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  // Straight to the camera: an empty proxy also overrides the proxy
  // variables of the host's environment (http_proxy, ALL_PROXY, ...), which
  // a recorder set up for its own internet traffic would otherwise turn on
  // the cameras of its local network.
  const CURLcode direct = curl_easy_setopt(easy, CURLOPT_PROXY, "");
  outOfMemory_ = outOfMemory_ || set == CURLE_OUT_OF_MEMORY || direct == CURLE_OUT_OF_MEMORY;
  bool ok = set == CURLE_OK && direct == CURLE_OK;
  curl_easy_setopt(easy, CURLOPT_USERAGENT, kAgentName);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(device_.ConnectTimeout));
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CHttpSender::OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CHttpSender::OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, static_cast<long>(bufferSize_));
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, (request.Flags & 4u) != 0 ? 0L : 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
  const bool trustAnything = request.Secure == 1 && (request.Flags & 2u) != 0;
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, trustAnything ? 0L : 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, trustAnything ? 0L : 2L);

  if (request.Verb == "GET" && request.Body.empty()) {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, nullptr);
  } else {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.Body.size()));
    curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS,
                     request.Body.empty() ? "" : reinterpret_cast<const char*>(request.Body.data()));
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.Verb.c_str());
  }

  curl_slist_free_all(static_cast<curl_slist*>(headerList_));
  curl_slist* headers = nullptr;
  for (const std::string& line : request.Headers) headers = curl_slist_append(headers, line.c_str());
  headerList_ = headers;
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);

  schemeUsed = rememberedScheme_ != 0 ? rememberedScheme_ : (1u << std::min<uint32_t>(request.AuthScheme, 4));
  if (!device_.UserName.empty() && request.AuthScheme != 5) {
    long scheme = CurlScheme(schemeUsed);
    if (scheme == CURLAUTH_NONE) return false;
    ok = ok && curl_easy_setopt(easy, CURLOPT_HTTPAUTH, scheme) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_USERNAME, device_.UserName.c_str()) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PASSWORD, device_.Password.c_str()) == CURLE_OK;
  } else {
    curl_easy_setopt(easy, CURLOPT_HTTPAUTH, CURLAUTH_NONE);
    curl_easy_setopt(easy, CURLOPT_USERNAME, nullptr);
    curl_easy_setopt(easy, CURLOPT_PASSWORD, nullptr);
  }
  return ok;
}

const char* CHttpSender::LastSendShortage() const {
  if (outOfMemory_) return "not enough memory";
  if (lookupStarved_) return "not enough memory or threads to look up the address";
  return nullptr;
}

bool CHttpSender::SendRequest(const HTTP_REQUEST& request) {
  try {
    kestrum::CLockGuard guard(operation_);
    // A close aimed at the previous request is moot: this one replaces it.
    closeRequested_.store(false, std::memory_order_release);
    outOfMemory_ = false;
    lookupStarved_ = false;
    return SendLocked(request);
  } catch (const std::bad_alloc&) {
    outOfMemory_ = true;
    return false;
  } catch (...) {
    return false;
  }
}

bool CHttpSender::SendLocked(const HTTP_REQUEST& request) {
  CloseLocked();
  statusCode_ = 0;
  contentLength_ = 0;
  // The library's handles are made with the sender; without memory then, they are missing.
  if (multi_ == nullptr || easy_ == nullptr) {
    outOfMemory_ = true;
    return false;
  }
  if (request.Verb.empty() || request.Path.empty()) return false;

  uint32_t schemeUsed = 0;
  if (!ConfigureRequest(request, schemeUsed)) return false;

  EmptyBuffer();
  transferDone_ = false;
  transferResult_ = 0;
  headDone_ = false;
  paused_ = false;
  responseStatus_ = 0;
  offeredScheme_.clear();
  const CURLMcode added = curl_multi_add_handle(Multi(multi_), Easy(easy_));
  if (added != CURLM_OK) {
    outOfMemory_ = added == CURLM_OUT_OF_MEMORY;
    return false;
  }
  requestOpen_ = true;
  if ((request.Flags & 8u) != 0) return true;

  Pump result = Drive([this] { return headDone_; });
  // A transfer that ended with a status line still answered; one without did not.
  if (result == Pump::Aborted || result == Pump::TimedOut || result == Pump::Failed ||
      (result == Pump::Done && responseStatus_ == 0)) {
    CloseLocked();
    return false;
  }
  long opened = 0;
  if (curl_easy_getinfo(Easy(easy_), CURLINFO_NUM_CONNECTS, &opened) == CURLE_OK) {
    connectionsOpened_ += static_cast<uint32_t>(opened);
  }
  statusCode_ = responseStatus_;
  curl_off_t length = -1;
  if (curl_easy_getinfo(Easy(easy_), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0) {
    contentLength_ = length > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<uint32_t>(length);
  }

  if (statusCode_ == 401 && rememberedScheme_ == 0) {
    const uint32_t preferred = SchemeBitFromName(offeredScheme_);
    rememberedScheme_ = preferred;
    CloseLocked();
    if (preferred == 0 || preferred == schemeUsed) return false;
    return SendLocked(request);  // once: a scheme is remembered now
  }
  return true;
}

void CHttpSender::CloseLocked() {
  if (requestOpen_) {
    curl_multi_remove_handle(Multi(multi_), Easy(easy_));
    requestOpen_ = false;
  }
  EmptyBuffer();
  paused_ = false;
}

void CHttpSender::EmptyBuffer() {
  if (buffer_.capacity() > kKeptBufferCapacity) {
    std::vector<uint8_t>().swap(buffer_);
  } else {
    buffer_.clear();
  }
  bufferStart_ = 0;
}

void CHttpSender::CloseRequest() {
  // The owner holds the operation lock while it reads; then only ask, and
  // wake its wait. Otherwise close here and now.
  if (operation_.TryEnter()) {
    CloseLocked();
    operation_.Leave();
    return;
  }
  closeRequested_.store(true, std::memory_order_release);
  if (multi_ != nullptr) curl_multi_wakeup(Multi(multi_));
}

uint32_t CHttpSender::TakeBuffered(std::vector<uint8_t>& data, uint32_t maximum) {
  const size_t available = buffer_.size() - bufferStart_;
  const size_t n = std::min<size_t>(available, maximum);
  data.insert(data.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(bufferStart_),
              buffer_.begin() + static_cast<std::ptrdiff_t>(bufferStart_ + n));
  bufferStart_ += n;
  if (bufferStart_ == buffer_.size()) {
    buffer_.clear();
    bufferStart_ = 0;
  }
  if (paused_ && buffer_.size() - bufferStart_ < kResumeBelow) {
    paused_ = false;
    curl_easy_pause(Easy(easy_), CURLPAUSE_CONT);  // may deliver the held bytes at once
  }
  return static_cast<uint32_t>(n);
}

uint32_t CHttpSender::ReadSome(std::vector<uint8_t>& data, uint32_t maximum, bool clearFirst) {
  try {
    kestrum::CLockGuard guard(operation_);
    if (clearFirst) data.clear();
    lastReadTimedOut_ = false;
    if (!requestOpen_ || maximum == 0) return 0;
    if (closeRequested_.exchange(false, std::memory_order_acq_rel)) {
      CloseLocked();
      return 0;
    }
    if (buffer_.size() == bufferStart_ && !transferDone_) {
      directTarget_ = &data;
      directRoom_ = maximum;
      directDelivered_ = 0;
      // The buffer is empty, so new bytes can only come from the socket.
      Pump result = Drive([this] { return directDelivered_ > 0 || buffer_.size() > bufferStart_; }, true);
      const uint32_t delivered = directDelivered_;
      directTarget_ = nullptr;
      directRoom_ = 0;
      if (result == Pump::TimedOut) lastReadTimedOut_ = true;
      if (result == Pump::Aborted || result == Pump::TimedOut || result == Pump::Failed) {
        closeRequested_.store(false, std::memory_order_release);
        CloseLocked();
        return 0;
      }
      if (delivered > 0) return delivered;
    }
    return TakeBuffered(data, maximum);
  } catch (...) {
    return 0;
  }
}

uint32_t CHttpSender::QueryDataAvailable() {
  try {
    kestrum::CLockGuard guard(operation_);
    if (!requestOpen_) return 0;
    if (buffer_.size() == bufferStart_ && !transferDone_) {
      int running = 0;
      curl_multi_perform(Multi(multi_), &running);
    }
    return static_cast<uint32_t>(buffer_.size() - bufferStart_);
  } catch (...) {
    return 0;
  }
}

uint32_t CHttpSender::ReadAll(std::vector<uint8_t>& body) { return ReadUpTo(body, 0x10000000u - 1); }

uint32_t CHttpSender::ReadUpTo(std::vector<uint8_t>& body, uint32_t maximum) {
  body.clear();
  const uint32_t bound = maximum + 1;
  const bool whole = contentLength_ != 0 && contentLength_ <= maximum;
  uint32_t limit = whole ? contentLength_ : bound;
  while (limit > 0) {
    uint32_t n = ReadSome(body, std::min<uint32_t>(8192, limit), false);
    if (n == 0) break;  // end of body, failure or time-out: keep what arrived
    limit -= n;
  }
  if (limit == 0 && whole) {
    // The whole body is in; let libcurl see the transfer end so that the
    // connection goes back for reuse instead of being closed by the next request.
    try {
      kestrum::CLockGuard guard(operation_);
      if (requestOpen_ && !transferDone_) Drive([] { return false; });
    } catch (...) {
    }
  }
  return static_cast<uint32_t>(body.size());
}

}  // namespace Web
