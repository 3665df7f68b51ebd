// Server side of HTTP/RTSP Digest authentication (RFC 2617, MD5, qop=auth)
// for the simulated cameras.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace kestrum {
namespace sim {

class DigestAuthenticator {
 public:
  enum class Verdict { Accepted, Refused, StaleNonce };

  // A nonce is honoured for nonceLifetimeMs after it was issued.
  DigestAuthenticator(std::string realm, std::string user, std::string password,
                      uint64_t nonceLifetimeMs = 300000);

  // The WWW-Authenticate value of a new challenge; without qop it asks for
  // the RFC 2069 response that RTSP cameras commonly take. algorithm: "MD5"
  // or "SHA-256" (RFC 7616), named in the challenge.
  std::string Challenge(bool stale, bool withQop = true, const std::string& algorithm = "MD5");
  // Every nonce given out so far is stale from now on.
  void ExpireAll();
  // Checks an "Authorization: Digest ..." value for method and request URI.
  Verdict Check(const std::string& authorization, const std::string& method, const std::string& uri,
                std::string& userName);

  // The parameters of a Digest header value ("k=v, k=\"v\"").
  static std::map<std::string, std::string> Parameters(const std::string& value);

 private:
  struct Nonce {
    uint64_t issuedMs;
    uint64_t lastCount;
    bool sha256;
    bool expired = false;
  };

  std::string realm_;
  std::string user_;
  std::string password_;
  std::string opaque_;
  uint64_t nonceLifetimeMs_;
  std::mutex mutex_;
  std::map<std::string, Nonce> nonces_;
};

}  // namespace sim
}  // namespace kestrum
