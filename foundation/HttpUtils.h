// Complete GET requests with their failures turned into result codes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/ResultDef.h"
#include "foundation/HttpSender.h"

namespace kestrum {
namespace HUtils {

// Codes: 0 success, 8 other HTTP status, 9 not found, 10 credentials
// invalid, 11 request not sent (or no status), 12 empty body when one was
// wanted, 13 a body larger than maxBytes (of which at most maxBytes + 1 are read).
CResultDef RequestGetRD(Web::CHttpSender& sender, const std::string& path, std::vector<uint8_t>& body,
                        bool bodyWanted, uint32_t maxBytes = 0x10000000u - 1);
// True on code 0; the response stays open in the sender until its next request.
bool RequestGetRD(Web::CHttpSender& sender, const std::string& path);
// The same, saying in failure what went wrong (the result's message without
// its method prefix).
bool RequestGetRD(Web::CHttpSender& sender, const std::string& path, std::string* text, std::string& failure);
// True on code 0, with the body in text.
bool RequestGetRD(Web::CHttpSender& sender, const std::string& path, std::string& text);
// Opens a GET (for a stream to be read with ReadSome); nothing else.
bool StartGetRequest(Web::CHttpSender& sender, const std::string& path);

}  // namespace HUtils
}  // namespace kestrum
