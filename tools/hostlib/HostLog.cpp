#include "tools/hostlib/HostLog.h"

#include <chrono>
#include <new>

namespace kestrum {
namespace host {

const char* HostLogReceiver::LevelName(uint8_t level) {
  switch (level) {
    case 1:
      return "error";
    case 2:
      return "warning";
    case 3:
      return "info";
    case 4:
      return "debug";
    case 100:
      return "notice";
    default:
      return "level?";
  }
}

void HostLogReceiver::AddDebugInfo(CDebugInfoIf* info) {
  if (info == nullptr) return;
  const char* text = info->GetText();
  std::lock_guard<std::mutex> lock(mutex_);
  if (out_ != nullptr) {
    std::fprintf(out_, "[%s] %s\n", LevelName(info->GetLevel()), text != nullptr ? text : "");
    std::fflush(out_);
  }
  if (!keep_) return;
  // Called on the driver's threads: out of memory, the line is printed but
  // not kept, rather than an exception thrown back into the driver.
  try {
    lines_.push_back(LogLine{info->GetLevel(), text != nullptr ? std::string(text) : std::string(), text != nullptr});
    arrived_.notify_all();
  } catch (const std::bad_alloc&) {
  }
}

std::vector<LogLine> HostLogReceiver::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

size_t HostLogReceiver::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_.size();
}

std::vector<LogLine> HostLogReceiver::Matching(const std::string& fragment) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<LogLine> found;
  for (const LogLine& line : lines_) {
    if (line.text.find(fragment) != std::string::npos) found.push_back(line);
  }
  return found;
}

bool HostLogReceiver::WaitFor(const std::string& fragment, uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    for (const LogLine& line : lines_) {
      if (line.text.find(fragment) != std::string::npos) return true;
    }
    return false;
  });
}

void HostLogReceiver::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

}  // namespace host
}  // namespace kestrum
