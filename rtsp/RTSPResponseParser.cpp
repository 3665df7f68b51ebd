#include "rtsp/RTSPResponseParser.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "foundation/TextUtils.h"
#include "rtsp/Base64.h"

namespace kestrum {

namespace {

const std::string kLineEnds = "\r\n";

// The next line from at; at moves past its end (CR LF, CR or LF).
bool NextLine(const std::string& text, size_t& at, std::string& line) {
  if (at >= text.size()) return false;
  const size_t end = text.find_first_of(kLineEnds, at);
  if (end == std::string::npos) {
    line = text.substr(at);
    at = text.size();
    return true;
  }
  line = text.substr(at, end - at);
  at = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  return true;
}

bool ReadUnsigned(const std::string& text, const char* format, uint32_t& value) {
  unsigned long number = 0;
  if (std::sscanf(text.c_str(), format, &number) != 1) return false;
  value = static_cast<uint32_t>(number);
  return true;
}

std::string WithoutQuotes(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
  return text;
}

int HexDigit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return 0;  // anything else counts as 0
}

// An SDP line kind: the prefix must open the line or follow white space.
bool HasPrefix(const std::string& line, const char* prefix) {
  const std::string lower = ToLowerCopy(line);
  for (size_t at = lower.find(prefix); at != std::string::npos; at = lower.find(prefix, at + 1)) {
    if (at == 0 || std::strchr(" \t\r\n", lower[at - 1]) != nullptr) return true;
  }
  return false;
}

}  // namespace

void CRTSPResponseParser::Reset() { *this = CRTSPResponseParser(); }

bool CRTSPResponseParser::Parse(uint32_t method, const std::string& response) {
  size_t at = 0;
  std::string line;
  if (!NextLine(response, at, line)) return false;
  char protocol[255] = {0};
  unsigned status = 0;
  if (std::sscanf(line.c_str(), "%254s %u ", protocol, &status) != 2) return false;
  Protocol = protocol;
  StatusCode = status;
  if (status != 200 && status != 401) return false;

  bool headerEnded = false;
  while (NextLine(response, at, line)) {
    if (line.empty()) {
      headerEnded = true;
      break;
    }
    if (!ParseHeader(line)) return false;
  }
  if (ContentLength == 0) return true;
  if (!headerEnded) return false;
  const std::string body = response.substr(at, ContentLength);
  return method == kDescribe ? ParseDescription(body) : true;
}

bool CRTSPResponseParser::ParseHeader(const std::string& line) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos || colon < 2) return true;  // not a header this client reads
  const std::string name = ToLowerCopy(TrimBlanks(line.substr(0, colon)));
  const std::string lower = ToLowerCopy(line);
  if (name == "cseq") return ReadUnsigned(lower, "cseq: %lu", CSeq);
  if (name == "content-length") return ReadUnsigned(lower, "content-length: %lu", ContentLength);
  if (name == "content-type") {
    char type[255] = {0};
    if (std::sscanf(lower.c_str(), "content-type: %254s", type) != 1) return false;
    ContentType = type;
    return true;
  }
  if (name == "content-base") {
    const size_t header = line.find("Content-Base:");
    if (header == std::string::npos) return false;
    const size_t url = line.find("rtsp://", header);
    if (url != std::string::npos) ContentBase = TrimBlanks(line.substr(url));
    return true;
  }
  if (name == "session") return ParseSession(line);
  if (name == "www-authenticate") return ParseChallenge(line);
  return true;  // Date, Transport, Range, RTP-Info, Server, ...: not needed
}

bool CRTSPResponseParser::ParseSession(const std::string& line) {
  SessionId = GetLineValue(line, "Session:", " ", ";\r\n");
  if (line.find(';') != std::string::npos) {
    const std::string timeout = GetLineValue(line, "timeout", "=", ";\r\n");
    if (timeout.empty()) {
      SessionId.clear();
    } else {
      const int32_t seconds = ReadNumber(timeout);
      SessionTimeout = seconds > 0 ? static_cast<uint32_t>(seconds) : 30;
    }
  }
  return !SessionId.empty();
}

bool CRTSPResponseParser::ParseChallenge(const std::string& line) {
  Scheme = kNoAuth;
  const char kHeader[] = "WWW-Authenticate: ";
  const size_t header = line.find(kHeader);
  if (header == std::string::npos) return false;
  const size_t start = header + sizeof kHeader - 1;
  const size_t end = line.find_first_of(" \t\r\n", start);
  if (end == std::string::npos) return false;
  const std::string scheme = line.substr(start, end - start);
  if (scheme != "Digest" && scheme != "Basic") return true;  // unknown schemes pass, unused
  Scheme = scheme == "Digest" ? kDigest : kBasic;
  const std::string parameters = line.substr(end + 1);
  Realm = WithoutQuotes(TrimBlanks(GetLineValue(parameters, "realm", "=", ",\r\n")));
  Nonce = WithoutQuotes(TrimBlanks(GetLineValue(parameters, "nonce", "=", ",\r\n")));
  return Scheme == kBasic || (!Realm.empty() && !Nonce.empty());
}

void CRTSPResponseParser::ParseFormat(const std::string& line) {
  // Keys are looked up in the parameter list after the format number, so the
  // first parameter of "a=fmtp:96 name=value;..." is found too.
  const size_t blank = line.find(' ');
  const std::string parameters = blank == std::string::npos ? line : line.substr(blank + 1);
  const std::string sets = GetLineValue(parameters, "sprop-parameter-sets", "=", ";\r\n");
  if (!sets.empty()) {
    const std::vector<std::string> parts = SplitString(sets, ',');
    if (parts.size() >= 2) {
      Base64Decode(parts[0], ParameterSets[0]);
      Base64Decode(parts[1], ParameterSets[1]);
    }
    return;
  }
  const std::string config = GetLineValue(parameters, "config", "=", ";\r\n");
  if (config.empty()) return;
  std::vector<uint8_t>& out = ParameterSets[2];
  if (config.find('=') != std::string::npos) {
    Base64Decode(config, out);
    return;
  }
  out.clear();
  for (size_t i = 0; i < config.size(); i += 2) {
    const int high = HexDigit(config[i]);
    out.push_back(static_cast<uint8_t>(i + 1 < config.size() ? high << 4 | HexDigit(config[i + 1]) : high));
  }
}

bool CRTSPResponseParser::ParseDescription(const std::string& body) {
  int media = -1;  // session level or an unknown kind
  size_t at = 0;
  std::string line;
  while (at < body.size()) {
    while (at < body.size() && (body[at] == '\r' || body[at] == '\n')) ++at;
    if (!NextLine(body, at, line)) break;
    if (HasPrefix(line, "a=control")) {
      char control[255] = {0};
      if (std::sscanf(line.c_str(), "a=control:%254s", control) != 1 || control[0] == '\0') return false;
      if (media >= 0) Media[media].Control = control;
    } else if (HasPrefix(line, "a=fmtp")) {
      if (media == kVideo) ParseFormat(line);
    } else if (HasPrefix(line, "m=")) {
      const std::string value = GetLineValue(line, "m", "=", "\r\n");
      if (value.empty()) return false;
      const std::vector<std::string> words = SplitString(value, ' ');
      if (words.empty() || words[0].empty()) return false;
      const std::string kind = ToLowerCopy(words[0]);
      media = -1;
      if (kind == "video") media = kVideo;
      if (kind == "audio") media = kAudio;
      if (kind == "metadata" || kind == "data" || kind == "application") media = kData;
      if (media >= 0 && words.size() >= 3) Media[media].Profile = words[2];
    }
  }
  return true;
}

}  // namespace kestrum
