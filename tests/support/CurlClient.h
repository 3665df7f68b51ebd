// A plain libcurl client for tests: an independent check of servers, kept
// apart from the driver's own HTTP sender.
#pragma once

#include <cstdint>
#include <string>

namespace kestrum {
namespace testing {

struct CurlReply {
  long status = 0;
  int curlError = 0;  // CURLcode; 0 when the transfer completed
  std::string headers;
  std::string body;
};

enum class CurlAuth { None, Basic, Digest };

CurlReply CurlGet(const std::string& url, CurlAuth auth = CurlAuth::None, const std::string& user = "",
                  const std::string& password = "", long timeoutMs = 10000);
// Reads a stream for at most ms milliseconds or until maxBytes arrived.
CurlReply CurlGetFor(const std::string& url, long ms, size_t maxBytes, CurlAuth auth = CurlAuth::None,
                     const std::string& user = "", const std::string& password = "");

}  // namespace testing
}  // namespace kestrum
