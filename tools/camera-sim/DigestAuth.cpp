#include "tools/camera-sim/DigestAuth.h"

#include <random>

#include <cstdlib>

#include "rtsp/MD5.h"
#include "rtsp/SHA256.h"
#include "tools/camera-sim/CameraState.h"

namespace kestrum {
namespace sim {

namespace {
constexpr size_t kMaxNonces = 4096;

std::string RandomHex(size_t bytes) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < bytes; ++i) {
    const unsigned value = static_cast<unsigned>(random() & 0xFF);
    hex += kHex[value >> 4];
    hex += kHex[value & 0x0F];
  }
  return hex;
}
}  // namespace

DigestAuthenticator::DigestAuthenticator(std::string realm, std::string user, std::string password,
                                         uint64_t nonceLifetimeMs)
    : realm_(std::move(realm)),
      user_(std::move(user)),
      password_(std::move(password)),
      opaque_(RandomHex(16)),
      nonceLifetimeMs_(nonceLifetimeMs) {}

std::string DigestAuthenticator::Challenge(bool stale, bool withQop, const std::string& algorithm) {
  const bool sha256 = algorithm == "SHA-256";
  const std::string nonce = RandomHex(16);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t now = SimMilliseconds();
    if (nonces_.size() >= kMaxNonces) {
      for (auto it = nonces_.begin(); it != nonces_.end();) {
        it = now - it->second.issuedMs > nonceLifetimeMs_ ? nonces_.erase(it) : std::next(it);
      }
      if (nonces_.size() >= kMaxNonces) nonces_.erase(nonces_.begin());
    }
    nonces_[nonce] = Nonce{now, 0, sha256 && withQop};
  }
  if (!withQop) return "Digest realm=\"" + realm_ + "\", nonce=\"" + nonce + "\"" + (stale ? ", stale=TRUE" : "");
  return "Digest realm=\"" + realm_ + "\", qop=\"auth\", nonce=\"" + nonce + "\", opaque=\"" + opaque_ +
         "\", algorithm=" + (sha256 ? "SHA-256" : "MD5") + (stale ? ", stale=TRUE" : "");
}

void DigestAuthenticator::ExpireAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : nonces_) entry.second.expired = true;
}

std::map<std::string, std::string> DigestAuthenticator::Parameters(const std::string& value) {
  std::map<std::string, std::string> parameters;
  size_t at = value.find(' ');  // after the scheme
  while (at != std::string::npos && at < value.size()) {
    while (at < value.size() && (value[at] == ' ' || value[at] == ',' || value[at] == '\t')) ++at;
    const size_t equals = value.find('=', at);
    if (equals == std::string::npos) break;
    const std::string name = value.substr(at, equals - at);
    std::string item;
    at = equals + 1;
    if (at < value.size() && value[at] == '"') {
      const size_t close = value.find('"', at + 1);
      if (close == std::string::npos) break;
      item = value.substr(at + 1, close - at - 1);
      at = close + 1;
    } else {
      const size_t end = value.find(',', at);
      item = value.substr(at, end == std::string::npos ? std::string::npos : end - at);
      at = end;
    }
    parameters[name] = item;
  }
  return parameters;
}

DigestAuthenticator::Verdict DigestAuthenticator::Check(const std::string& authorization, const std::string& method,
                                                       const std::string& uri, std::string& userName) {
  std::map<std::string, std::string> p = Parameters(authorization);
  userName = p["username"];
  if (userName != user_ || p["realm"] != realm_ || p["uri"] != uri || p["response"].empty()) return Verdict::Refused;
  const std::string& nonce = p["nonce"];
  bool sha256 = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto issued = nonces_.find(nonce);
    sha256 = issued != nonces_.end() && issued->second.sha256;
  }
  // The answer must name the algorithm the challenge named, and use it.
  if (sha256 != (p["algorithm"] == "SHA-256")) return Verdict::Refused;
  auto hash = [sha256](const std::string& text) { return sha256 ? CSHA256::Hex(text) : CMD5::Hex(text); };
  const std::string ha1 = hash(user_ + ":" + realm_ + ":" + password_);
  const std::string ha2 = hash(method + ":" + uri);
  std::string expected;
  uint64_t count = 0;
  if (p.count("qop") != 0) {
    if (p["qop"] != "auth" || p["nc"].size() != 8 || p["cnonce"].empty()) return Verdict::Refused;
    if (p["opaque"] != opaque_) return Verdict::Refused;  // a challenge with qop carries it: echoed unchanged
    count = std::strtoull(p["nc"].c_str(), nullptr, 16);
    expected = hash(ha1 + ":" + nonce + ":" + p["nc"] + ":" + p["cnonce"] + ":auth:" + ha2);
  } else {
    expected = hash(ha1 + ":" + nonce + ":" + ha2);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto known = nonces_.find(nonce);
  if (known == nonces_.end() || known->second.expired ||
      SimMilliseconds() - known->second.issuedMs > nonceLifetimeMs_) {
    return p["response"] == expected ? Verdict::StaleNonce : Verdict::Refused;
  }
  if (p["response"] != expected) return Verdict::Refused;
  // A count must grow with each use of a nonce (replays are refused).
  if (p.count("qop") != 0) {
    if (count <= known->second.lastCount) return Verdict::Refused;
    known->second.lastCount = count;
  }
  return Verdict::Accepted;
}

}  // namespace sim
}  // namespace kestrum
