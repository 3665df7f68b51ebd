#include "tests/support/CurlClient.h"

#include <curl/curl.h>

#include <mutex>

namespace kestrum {
namespace testing {

namespace {

struct Sink {
  std::string* text;
  size_t maxBytes;
};

size_t Append(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  sink->text->append(data, size * count);
  if (sink->maxBytes != 0 && sink->text->size() >= sink->maxBytes) return 0;  // enough: abort
  return size * count;
}

CurlReply Perform(const std::string& url, CurlAuth auth, const std::string& user, const std::string& password,
                  long timeoutMs, size_t maxBytes) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
  CurlReply reply;
  CURL* curl = curl_easy_init();
  Sink body{&reply.body, maxBytes};
  Sink headers{&reply.headers, 0};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Append);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &headers);
  if (auth != CurlAuth::None) {
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, auth == CurlAuth::Basic ? CURLAUTH_BASIC : CURLAUTH_DIGEST);
    curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
  }
  reply.curlError = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
  curl_easy_cleanup(curl);
  return reply;
}

}  // namespace

CurlReply CurlGet(const std::string& url, CurlAuth auth, const std::string& user, const std::string& password,
                  long timeoutMs) {
  return Perform(url, auth, user, password, timeoutMs, 0);
}

CurlReply CurlGetFor(const std::string& url, long ms, size_t maxBytes, CurlAuth auth, const std::string& user,
                     const std::string& password) {
  return Perform(url, auth, user, password, ms, maxBytes);
}

}  // namespace testing
}  // namespace kestrum
