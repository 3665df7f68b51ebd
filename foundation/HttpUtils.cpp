#include "foundation/HttpUtils.h"

#include "foundation/TextUtils.h"

namespace kestrum {
namespace HUtils {

namespace {
const char kPrefix[] = "kestrum::HUtils::RequestGetRD";
}

CResultDef RequestGetRD(Web::CHttpSender& sender, const std::string& path, std::vector<uint8_t>& body,
                        bool bodyWanted, uint32_t maxBytes) {
  CResultDef result;
  const DEVICE_INFO& device = sender.GetDevice();
  const std::string deviceText = FormatString("device %s:%u", device.Address.c_str(),
                                              static_cast<unsigned>(device.Port));
  Web::HTTP_REQUEST request("GET", path);
  body.clear();
  const bool sent = sender.SendRequest(request);
  const uint32_t status = sender.GetStatusCode();
  if (!sent || status == 0) {
    // Out of memory, the camera is not to blame: the reason says what ran out.
    const char* shortage = sender.LastSendShortage();
    result.SetResultEx(4, 11, "%s: Cannot send request \"%s\" to %s%s%s", kPrefix, path.c_str(), deviceText.c_str(),
                       shortage != nullptr ? ": " : "", shortage != nullptr ? shortage : "");
  } else if (status >= 200 && status <= 299) {
    result.SetResultEx(3, 0, nullptr);
  } else if (status == 401) {
    result.SetResultEx(1, 10, "%s: %s is unable to process \"%s\" request: credentials are invalid", kPrefix,
                       deviceText.c_str(), path.c_str());
  } else if (status == 404) {
    result.SetResultEx(1, 9, "%s: The \"%s\" URL was not found on %s", kPrefix, path.c_str(), deviceText.c_str());
  } else {
    result.SetResultEx(1, 8, "%s: %s is unable to process \"%s\" request. HTTP status code is %u", kPrefix,
                       deviceText.c_str(), path.c_str(), status);
  }
  if (bodyWanted && result.GetCode() == 0) {
    if (sender.ReadUpTo(body, maxBytes) == 0) {
      result.SetResultEx(2, 12, "%s: Incorrect response for request \"%s\" from %s", kPrefix, path.c_str(),
                         deviceText.c_str());
    } else if (body.size() > maxBytes) {
      body.clear();
      sender.CloseRequest();  // the rest is not wanted
      result.SetResultEx(1, 13, "%s: The reply to \"%s\" from %s is larger than %u bytes", kPrefix, path.c_str(),
                         deviceText.c_str(), maxBytes);
    }
  }
  return result;
}

bool RequestGetRD(Web::CHttpSender& sender, const std::string& path) {
  std::vector<uint8_t> unused;
  return RequestGetRD(sender, path, unused, false).GetCode() == 0;
}

bool RequestGetRD(Web::CHttpSender& sender, const std::string& path, std::string& text) {
  text.clear();
  std::vector<uint8_t> body;
  if (RequestGetRD(sender, path, body, true).GetCode() != 0) return false;
  text.assign(body.begin(), body.end());
  return true;
}

bool RequestGetRD(Web::CHttpSender& sender, const std::string& path, std::string* text, std::string& failure) {
  std::vector<uint8_t> body;
  const CResultDef result = RequestGetRD(sender, path, body, text != nullptr);
  if (result.GetCode() != 0) {
    const std::string& message = result.GetMessage();
    const size_t prefix = message.find(": ");
    // No text at all: it could not be made for want of memory. Short enough
    // to need no allocation itself.
    failure = message.empty() ? "out of memory" : prefix == std::string::npos ? message : message.substr(prefix + 2);
    return false;
  }
  if (text != nullptr) text->assign(body.begin(), body.end());
  return true;
}

bool StartGetRequest(Web::CHttpSender& sender, const std::string& path) {
  return sender.SendRequest(Web::HTTP_REQUEST("GET", path));
}

}  // namespace HUtils
}  // namespace kestrum
