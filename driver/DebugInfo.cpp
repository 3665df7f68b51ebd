#include "driver/DebugInfo.h"

#include <cstring>

namespace kestrum {

CDebugInfo::CDebugInfo(uint8_t level, const std::string& text) : level_(level), text_(nullptr) {
  if (!text.empty()) {
    text_ = new char[text.size() + 1];
    std::memcpy(text_, text.c_str(), text.size() + 1);
  }
}

CDebugInfo::~CDebugInfo() { delete[] text_; }

namespace {
bool VersionBelow(const HOST_VERSION& v, uint16_t major, uint16_t minor) {
  return v.Major < major || (v.Major == major && v.Minor < minor);
}
}  // namespace

uint8_t TranslateLevel(uint32_t level, const HOST_VERSION& host) {
  if (level == 3 || level == 100) {
    if (VersionBelow(host, 5, 12)) return 2;
    if (level == 100 && VersionBelow(host, 6, 3)) return 3;
  }
  return static_cast<uint8_t>(level);
}

}  // namespace kestrum
