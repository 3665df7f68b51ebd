// Reads one RTSP response (status line, headers, body) and, for a DESCRIBE,
// its session description. Its members are also the session state that the
// RTSP client reads and writes between requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrum {

class CRTSPResponseParser {
 public:
  enum Method : uint32_t { kDescribe = 1 };
  enum MediaKind : uint32_t { kVideo = 0, kAudio = 1, kData = 2 };
  enum AuthScheme : uint32_t { kNoAuth = 0, kBasic = 1, kDigest = 2 };

  struct MEDIA {
    std::string Control;
    std::string Profile;
  };

  virtual ~CRTSPResponseParser() = default;

  // False for a status other than 200 or 401, a malformed status line, a
  // header that does not read, or (for DESCRIBE) a bad session description.
  // Values read before a failure stay.
  bool Parse(uint32_t method, const std::string& response);
  // Empties every value, the CSeq counter included.
  void Reset();

  std::string Protocol;
  uint32_t StatusCode = 0;
  uint32_t CSeq = 0;
  std::string ContentBase;
  std::string ContentType;
  uint32_t ContentLength = 0;
  std::string SessionId;
  uint32_t SessionTimeout = 0;  // seconds; 0 when the server gave none
  MEDIA Media[3];               // video, audio, data
  uint32_t Scheme = kNoAuth;    // of the last challenge
  std::string Realm;
  std::string Nonce;
  // RFC 7616: the qop options as offered ("auth,auth-int"), opaque, the
  // algorithm ("MD5", "SHA-256", ...; empty for none), and whether the
  // nonce was refused only for being stale.
  std::string Qop;
  std::string Opaque;
  std::string Algorithm;
  bool Stale = false;
  // SPS, PPS (sprop-parameter-sets) and the MPEG-4 configuration, in order.
  std::vector<uint8_t> ParameterSets[3];
  // The RTP channel of an interleaved transport as the server's Transport
  // answer names it; -1 when it named none.
  int32_t InterleavedChannel = -1;

 private:
  bool ParseHeader(const std::string& line);
  bool ParseSession(const std::string& value);
  bool ParseChallenge(const std::string& value);
  void ParseTransport(const std::string& value);
  bool ParseDescription(const std::string& body);
  void ParseFormat(const std::string& line);

  bool challenged_ = false;  // a challenge was read in the current response
};

}  // namespace kestrum
