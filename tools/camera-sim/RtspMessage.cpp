#include "tools/camera-sim/RtspMessage.h"

#include <cstdlib>

#include "foundation/TextUtils.h"

namespace kestrum {
namespace sim {

namespace {
std::string Lower(const std::string& text) { return ToLowerCopy(text); }

bool ParsePortPair(const std::string& value, uint16_t& first, uint16_t& second) {
  char* end = nullptr;
  const unsigned long a = std::strtoul(value.c_str(), &end, 10);
  if (end == value.c_str() || a > 65535) return false;
  unsigned long b = a + 1;
  if (*end == '-') {
    const char* start = end + 1;
    b = std::strtoul(start, &end, 10);
    if (end == start || b > 65535) return false;
  }
  first = static_cast<uint16_t>(a);
  second = static_cast<uint16_t>(b);
  return true;
}
}  // namespace

std::string RtspRequest::Header(const std::string& name) const {
  const std::string wanted = Lower(name);
  for (const auto& [key, value] : headers) {
    if (Lower(key) == wanted) return value;
  }
  return std::string();
}

bool RtspRequest::HasHeader(const std::string& name) const {
  const std::string wanted = Lower(name);
  for (const auto& header : headers) {
    if (Lower(header.first) == wanted) return true;
  }
  return false;
}

int64_t RtspRequest::CSeq() const {
  const std::string value = TrimBlanks(Header("CSeq"));
  if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos || value.size() > 10) return -1;
  return std::strtoll(value.c_str(), nullptr, 10);
}

std::string RtspRequest::SessionId() const {
  const std::string value = TrimBlanks(Header("Session"));
  return TrimBlanks(value.substr(0, value.find(';')));
}

std::string RtspRequest::Path() const {
  size_t start = 0;
  const size_t scheme = url.find("://");
  if (scheme != std::string::npos) {
    start = url.find('/', scheme + 3);
    if (start == std::string::npos) return "/";
  }
  std::string path = url.substr(start);
  const size_t query = path.find('?');
  if (query != std::string::npos) path.resize(query);
  return path.empty() ? "/" : path;
}

bool ParseRtspRequest(const std::string& head, RtspRequest& request) {
  request = RtspRequest();
  size_t lineEnd = head.find("\r\n");
  if (lineEnd == std::string::npos) return false;
  const std::vector<std::string> words = SplitString(head.substr(0, lineEnd), ' ');
  if (words.size() != 3 || words[2].compare(0, 5, "RTSP/") != 0) return false;
  request.method = words[0];
  request.url = words[1];
  request.version = words[2];
  size_t at = lineEnd + 2;
  while (at < head.size()) {
    lineEnd = head.find("\r\n", at);
    if (lineEnd == std::string::npos || lineEnd == at) break;
    const std::string line = head.substr(at, lineEnd - at);
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
      request.headers.emplace_back(TrimBlanks(line.substr(0, colon)), TrimBlanks(line.substr(colon + 1)));
    }
    at = lineEnd + 2;
  }
  return true;
}

TransportRequest ParseTransport(const std::string& value) {
  TransportRequest transport;
  const std::string first = value.substr(0, value.find(','));
  const std::vector<std::string> parts = SplitString(first, ';');
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string part = Lower(TrimBlanks(parts[i]));
    if (i == 0) {
      transport.tcp = part == "rtp/avp/tcp";
      continue;
    }
    if (part.compare(0, 12, "client_port=") == 0) {
      ParsePortPair(part.substr(12), transport.clientRtpPort, transport.clientRtcpPort);
    } else if (part.compare(0, 12, "interleaved=") == 0) {
      transport.interleaved = true;
    }
  }
  return transport;
}

const char* RtspReason(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 454: return "Session Not Found";
    case 455: return "Method Not Valid in This State";
    case 461: return "Unsupported Transport";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    default: return "Unknown";
  }
}

std::string RtspResponse(int status, int64_t cseq, const std::string& headers, const std::string& body,
                         bool compact) {
  std::string head;
  if (cseq >= 0) head += "CSeq: " + std::to_string(cseq) + "\r\n";
  head += "Server: Quellon camera simulator\r\n" + headers;
  if (!body.empty()) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  if (compact) {
    std::string lines;
    for (size_t at = 0; at < head.size();) {
      const size_t end = head.find("\r\n", at);
      const std::string line = head.substr(at, end - at);
      const size_t colon = line.find(':');
      std::string name = Lower(line.substr(0, colon));
      size_t value = colon + 1;
      while (value < line.size() && line[value] == ' ') ++value;
      lines += name + ":" + line.substr(value) + "\r\n";
      at = end + 2;
    }
    head = lines;
  }
  return "RTSP/1.0 " + std::to_string(status) + " " + RtspReason(status) + "\r\n" + head + "\r\n" + body;
}

}  // namespace sim
}  // namespace kestrum
