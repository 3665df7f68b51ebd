// A diagnostics receiver that prints and/or keeps the driver's lines.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "driver/host_interfaces.h"

namespace kestrum {
namespace host {

struct LogLine {
  uint8_t level;
  std::string text;
  bool hasText;  // false when the driver gave a null text
};

class HostLogReceiver : public ipcapture::IDebugInfoReceiver {
 public:
  KESTRUM_DESTRUCTOR_SLOT(HostLogReceiver)
  // Prints each line to out (null: print nothing); keeps them when keep is set.
  explicit HostLogReceiver(FILE* out = nullptr, bool keep = true) : out_(out), keep_(keep) {}
  virtual ~HostLogReceiver() = default;

  void AddDebugInfo(CDebugInfoIf* info) override;

  std::vector<LogLine> Lines() const;
  size_t Count() const;
  // Lines whose text contains the fragment.
  std::vector<LogLine> Matching(const std::string& fragment) const;
  // Waits until a line containing fragment has arrived; false on time-out.
  bool WaitFor(const std::string& fragment, uint32_t ms);
  void Clear();

  static const char* LevelName(uint8_t level);

 private:
  FILE* out_;
  bool keep_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<LogLine> lines_;
};

}  // namespace host
}  // namespace kestrum
