// The outcome of one operation: level, code (0 = success) and message.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/PrintfFormat.h"

namespace kestrum {

class CResultDef {
 public:
  CResultDef() = default;
  virtual ~CResultDef() = default;
  CResultDef(const CResultDef&) = default;
  CResultDef& operator=(const CResultDef&) = default;

  // Never throws; a format that cannot be formatted leaves a fixed message.
  void SetResultEx(uint32_t level, uint32_t code, const char* format, ...) KESTRUM_PRINTF_FORMAT(4, 5);

  uint32_t GetLevel() const { return level_; }
  uint32_t GetCode() const { return code_; }
  const std::string& GetMessage() const { return message_; }
  bool Succeeded() const { return code_ == 0; }

 private:
  uint32_t level_ = 3;
  uint32_t code_ = 0;
  std::string message_;
};

}  // namespace kestrum
