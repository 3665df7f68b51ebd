#include "rtsp/RTSPResponseParser.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

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

int HexDigit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return 0;  // anything else counts as 0
}

// The parameters of a challenge ("realm=\"R\", nonce=\"N\", qop=\"auth,auth-int\""),
// names in lower case, quotes removed; a comma inside quotes stays in its value.
std::vector<std::pair<std::string, std::string>> ChallengeParameters(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> parameters;
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && (text[at] == ',' || text[at] == ' ' || text[at] == '\t')) ++at;
    const size_t equals = text.find('=', at);
    if (equals == std::string::npos) break;
    const std::string name = ToLowerCopy(TrimBlanks(text.substr(at, equals - at)));
    at = equals + 1;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    std::string value;
    if (at < text.size() && text[at] == '"') {
      const size_t close = text.find('"', at + 1);
      value = text.substr(at + 1, close == std::string::npos ? std::string::npos : close - at - 1);
      at = close == std::string::npos ? text.size() : close + 1;
    } else {
      const size_t comma = text.find(',', at);
      value = TrimBlanks(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
      at = comma == std::string::npos ? text.size() : comma;
    }
    parameters.emplace_back(name, value);
  }
  return parameters;
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
  challenged_ = false;
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
  // RFC 2326, 4.2 and 12: names in any case, blanks after the colon optional.
  const std::string name = ToLowerCopy(TrimBlanks(line.substr(0, colon)));
  const std::string value = TrimBlanks(line.substr(colon + 1));
  if (name == "cseq") return ReadUnsigned(value, "%lu", CSeq);
  if (name == "content-length") return ReadUnsigned(value, "%lu", ContentLength);
  if (name == "content-type") {
    char type[255] = {0};
    if (std::sscanf(ToLowerCopy(value).c_str(), "%254s", type) != 1) return false;
    ContentType = type;
    return true;
  }
  if (name == "content-base") {
    const size_t url = ToLowerCopy(value).find("rtsp://");
    if (url != std::string::npos) ContentBase = TrimBlanks(value.substr(url));
    return true;
  }
  if (name == "session") return ParseSession(value);
  if (name == "www-authenticate") return ParseChallenge(value);
  if (name == "transport") ParseTransport(value);
  return true;  // Date, Range, RTP-Info, Server, ...: not needed
}

bool CRTSPResponseParser::ParseSession(const std::string& value) {
  const size_t semicolon = value.find(';');
  SessionId = TrimBlanks(value.substr(0, semicolon));
  if (semicolon != std::string::npos) {
    std::string timeout;
    for (const std::string& parameter : SplitString(value.substr(semicolon + 1), ';')) {
      const size_t equals = parameter.find('=');
      if (equals != std::string::npos && ToLowerCopy(TrimBlanks(parameter.substr(0, equals))) == "timeout") {
        timeout = TrimBlanks(parameter.substr(equals + 1));
      }
    }
    if (timeout.empty()) {
      SessionId.clear();
    } else {
      const int32_t seconds = ReadNumber(timeout);
      SessionTimeout = seconds > 0 ? static_cast<uint32_t>(seconds) : 30;
    }
  }
  return !SessionId.empty();
}

void CRTSPResponseParser::ParseTransport(const std::string& value) {
  // "RTP/AVP/TCP;unicast;interleaved=2-3": the channel pair the server chose.
  for (const std::string& parameter : SplitString(value, ';')) {
    const size_t equals = parameter.find('=');
    if (equals == std::string::npos || ToLowerCopy(TrimBlanks(parameter.substr(0, equals))) != "interleaved") {
      continue;
    }
    const std::string channels = TrimBlanks(parameter.substr(equals + 1));
    uint32_t first = 0;
    if (!channels.empty() && channels[0] >= '0' && channels[0] <= '9' && ReadUnsigned(channels, "%lu", first) &&
        first <= 255) {
      InterleavedChannel = static_cast<int32_t>(first);
    }
  }
}

bool CRTSPResponseParser::ParseChallenge(const std::string& value) {
  const size_t end = value.find_first_of(" \t");
  const std::string scheme = ToLowerCopy(value.substr(0, end));
  if (scheme != "digest" && scheme != "basic") {
    if (!challenged_) Scheme = kNoAuth;  // unknown schemes pass, unused
    return true;
  }
  const uint32_t offered = scheme == "digest" ? kDigest : kBasic;
  // Offered both, the client answers the Digest: a password is never sent in
  // clear text where a digest would do.
  if (challenged_ && Scheme == kDigest && offered == kBasic) return true;
  challenged_ = true;
  Scheme = offered;
  Realm.clear();
  Nonce.clear();
  Qop.clear();
  Opaque.clear();
  Algorithm.clear();
  Stale = false;
  if (end != std::string::npos) {
    for (const auto& [name, text] : ChallengeParameters(value.substr(end + 1))) {
      if (name == "realm") Realm = text;
      if (name == "nonce") Nonce = text;
      if (name == "qop") Qop = text;
      if (name == "opaque") Opaque = text;
      if (name == "algorithm") Algorithm = text;
      if (name == "stale") Stale = ToLowerCopy(text) == "true";
    }
  }
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
