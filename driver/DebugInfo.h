// One diagnostic line for the host, and the level translation by host version.
#pragma once

#include <cstdint>
#include <string>

#include "driver/DeviceInfo.h"
#include "driver/host_interfaces.h"

namespace kestrum {

class CDebugInfo : public CDebugInfoIf {
 public:
  KESTRUM_DESTRUCTOR_SLOT(CDebugInfo)
  // An empty text is given to the host as null.
  CDebugInfo(uint8_t level, const std::string& text);
  virtual ~CDebugInfo();
  CDebugInfo(const CDebugInfo&) = delete;
  CDebugInfo& operator=(const CDebugInfo&) = delete;

  uint8_t GetLevel() const override { return level_; }
  const char* GetText() const override { return text_; }

 private:
  uint8_t level_;
  char* text_;
};

// Hosts before 5.12 know no level 3 or 100; before 6.3 no level 100.
uint8_t TranslateLevel(uint32_t level, const HOST_VERSION& host);

}  // namespace kestrum
