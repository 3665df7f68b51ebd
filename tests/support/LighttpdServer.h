// A real HTTP server (Debian's lighttpd) on a free loopback port, with a
// document tree and Basic and Digest realms, for tests of HTTP clients.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Process.h"
#include "tests/support/TempDir.h"

namespace kestrum {
namespace testing {

class LighttpdServer {
 public:
  static constexpr const char* kUser = "admin";
  static constexpr const char* kPassword = "pa55word";

  LighttpdServer();
  ~LighttpdServer();

  // False (with the reason in Error) when lighttpd is missing or did not
  // start. With tls, it serves HTTPS with a fresh self-signed certificate.
  bool Start(bool tls = false);
  uint16_t Port() const { return port_; }
  const std::string& Error() const { return error_; }
  // Writes a file under the document root ("big.bin", "basic/x.txt", ...).
  void PutFile(const std::string& relativePath, const std::string& contents);
  std::string ErrorLog() const;

 private:
  TempDir dir_;
  platform::ChildProcess process_;
  uint16_t port_ = 0;
  std::string error_;
};

}  // namespace testing
}  // namespace kestrum
