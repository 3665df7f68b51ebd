// HTTP access to the camera: one sender per use, one kept connection, one
// open request at a time, the body pulled as the caller reads it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/DeviceInfo.h"
#include "foundation/RecursiveLock.h"

namespace kestrum {
class CEvent;
}

namespace Web {

// Authentication scheme bits: 1 shifted left by the AuthScheme index.
enum : uint32_t {
  kSchemeBasic = 1,
  kSchemeNTLM = 2,
  kSchemePassport = 4,
  kSchemeDigest = 8,
  kSchemeNegotiate = 16,
};

struct HTTP_REQUEST {
  HTTP_REQUEST(const std::string& verb, const std::string& path) : Verb(verb), Path(path) {}

  std::string Verb;
  std::string Path;  // path and query, for example "/info.cgi"
  uint32_t Secure = 0;
  // 0 Basic, 1 NTLM, 2 Passport, 3 Digest, 4 or more Negotiate; 5 no credentials.
  uint32_t AuthScheme = 0;
  std::vector<uint8_t> Body;
  uint32_t TotalLength = 0;
  std::vector<std::string> Headers;  // "Name: value"
  // bit 0: do not escape the query; bit 1: ignore certificate errors (with
  // Secure); bit 2: do not follow redirects; bit 3: do not wait for the response.
  uint32_t Flags = 5;
};

class CBaseHttpSender {
 public:
  explicit CBaseHttpSender(const kestrum::DEVICE_INFO* device);
  virtual ~CBaseHttpSender() = default;
  CBaseHttpSender(const CBaseHttpSender&) = delete;
  CBaseHttpSender& operator=(const CBaseHttpSender&) = delete;

  virtual bool SendRequest(const HTTP_REQUEST& request) = 0;
  // May be called from another thread to end a blocked read at once.
  virtual void CloseRequest() = 0;
  virtual uint32_t QueryDataAvailable() = 0;
  virtual uint32_t ReadAll(std::vector<uint8_t>& body) = 0;
  virtual uint32_t ReadSome(std::vector<uint8_t>& data, uint32_t maximum, bool clearFirst) = 0;

  const kestrum::DEVICE_INFO& GetDevice() const { return device_; }

 protected:
  kestrum::DEVICE_INFO device_;
};

class CHttpSender : public CBaseHttpSender {
 public:
  explicit CHttpSender(const kestrum::DEVICE_INFO* device);
  ~CHttpSender() override;

  // Sends and waits for the response head (unless flag bit 3); true also for
  // non-2xx statuses, which the caller inspects. On a first 401 the sender
  // remembers the camera's preferred scheme and retries once with it.
  bool SendRequest(const HTTP_REQUEST& request) override;
  void CloseRequest() override;
  uint32_t QueryDataAvailable() override;
  // The whole body; what arrived before a time-out is kept.
  uint32_t ReadAll(std::vector<uint8_t>& body) override;
  // The same, but reads at most maximum + 1 bytes: a body longer than
  // maximum says that the reply was larger, without holding all of it.
  uint32_t ReadUpTo(std::vector<uint8_t>& body, uint32_t maximum);
  // One read of up to maximum bytes, appended; 0 at the end, on failure, on
  // a time-out of ConnectTimeout without data, or after CloseRequest.
  uint32_t ReadSome(std::vector<uint8_t>& data, uint32_t maximum, bool clearFirst) override;

  uint32_t GetStatusCode() const { return statusCode_; }
  uint32_t GetContentLength() const { return contentLength_; }
  uint32_t GetRememberedScheme() const { return rememberedScheme_; }
  // Whether the last read ended because ConnectTimeout passed without data.
  bool LastReadTimedOut() const { return lastReadTimedOut_; }
  // What ran out when the last request failed for want of a resource (here or
  // in the HTTP library), so that the failure can say so instead of blaming
  // the camera; null when nothing did. A fixed text: it needs no memory.
  const char* LastSendShortage() const;
  // Connections opened so far; stays at 1 while the camera keeps the connection.
  uint32_t GetConnectionsOpened() const { return connectionsOpened_; }
  // Every wait also ends when this event is signalled (owner's stop request).
  void SetStopEvent(kestrum::CEvent* stop) { stopEvent_ = stop; }
  // The transfer buffer of later requests, kept as long as the sender: small
  // by default (settings pages, I/O states); a picture stream wants more.
  static constexpr uint32_t kSmallBuffer = 16 * 1024;
  static constexpr uint32_t kStreamBuffer = 256 * 1024;
  void SetBufferSize(uint32_t bytes) { bufferSize_ = bytes; }
  // The room the body buffer holds now, read or not (for tests and diagnostics).
  size_t BodyBufferCapacity() const { return buffer_.capacity(); }

 private:
  enum class Pump { Ready, Done, TimedOut, Aborted, Failed };

  bool SendLocked(const HTTP_REQUEST& request);
  bool ConfigureRequest(const HTTP_REQUEST& request, uint32_t& schemeUsed);
  void CloseLocked();
  // Drives the transfer until ready() holds, it ends, ConnectTimeout passes
  // without any byte arriving, or a close or stop is requested.
  // waitFirst: nothing can be pending inside libcurl (the reader emptied the
  // buffer), so wait for the socket before the first perform.
  template <class Ready>
  Pump Drive(Ready ready, bool waitFirst = false);
  uint32_t TakeBuffered(std::vector<uint8_t>& data, uint32_t maximum);
  // Empties the body buffer; a large one is given back.
  void EmptyBuffer();
  bool StopRequested() const;

  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnBody(char* data, size_t size, size_t count, void* self);

  kestrum::CRecursiveLock operation_;  // held by the owner for each operation
  std::atomic<bool> closeRequested_{false};
  kestrum::CEvent* stopEvent_ = nullptr;
  void* multi_ = nullptr;
  void* easy_ = nullptr;
  uint32_t bufferSize_ = kSmallBuffer;
  void* headerList_ = nullptr;
  bool requestOpen_ = false;
  bool transferDone_ = false;
  int transferResult_ = 0;
  bool headDone_ = false;
  bool paused_ = false;
  uint64_t bytesSeen_ = 0;  // header and body bytes, to tell a stall from progress
  std::vector<uint8_t> buffer_;
  size_t bufferStart_ = 0;
  // While a read waits on an empty buffer, arriving bytes go straight to the
  // reader's vector (up to its room); only the excess is buffered.
  std::vector<uint8_t>* directTarget_ = nullptr;
  uint32_t directRoom_ = 0;
  uint32_t directDelivered_ = 0;
  uint32_t responseStatus_ = 0;
  std::string offeredScheme_;  // first scheme of the last response's challenges

  uint32_t statusCode_ = 0;
  uint32_t contentLength_ = 0;
  uint32_t rememberedScheme_ = 0;
  bool lastReadTimedOut_ = false;
  bool outOfMemory_ = false;
  bool lookupStarved_ = false;  // the lookup of an address literal failed
  uint32_t connectionsOpened_ = 0;
};

}  // namespace Web
