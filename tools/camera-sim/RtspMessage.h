// RTSP/1.0 requests as the simulated camera reads them, and its responses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrum {
namespace sim {

struct RtspRequest {
  std::string method;
  std::string url;
  std::string version;
  std::vector<std::pair<std::string, std::string>> headers;  // names as sent
  std::string body;

  // The first header of this name (case-insensitive), or empty.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
  // CSeq as sent; -1 when absent or not a number.
  int64_t CSeq() const;
  // The session identifier of the Session header, without parameters.
  std::string SessionId() const;
  // The path of the URL ("rtsp://host:port/path" gives "/path").
  std::string Path() const;
};

// Parses a request head (up to and including the empty line); false for a
// malformed request line.
bool ParseRtspRequest(const std::string& head, RtspRequest& request);

struct TransportRequest {
  bool tcp = false;             // RTP/AVP/TCP
  uint16_t clientRtpPort = 0;   // 0: none given
  uint16_t clientRtcpPort = 0;
  bool interleaved = false;     // the client asked for channels itself
};

// Reads the client's Transport header (first choice only).
TransportRequest ParseTransport(const std::string& value);

// A response: status line, CSeq, the given header lines (each ending in
// CRLF), Content-Length when there is a body, the empty line and the body.
// compact: header names in lower case and no blank after the colon, as
// RFC 2326 allows and some servers write them.
std::string RtspResponse(int status, int64_t cseq, const std::string& headers, const std::string& body = "",
                         bool compact = false);
const char* RtspReason(int status);

}  // namespace sim
}  // namespace kestrum
