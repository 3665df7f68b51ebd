#include "tests/support/TempDir.h"

#include <atomic>
#include <chrono>
#include <random>

namespace kestrum {
namespace testing {

TempDir::TempDir(bool enter) : entered_(enter) {
  std::random_device random;
  auto base = std::filesystem::temp_directory_path();
  for (;;) {
    auto candidate = base / ("quellon-test-" + std::to_string(random()) + "-" + std::to_string(random()));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate.string();
      break;
    }
  }
  if (entered_) {
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (entered_) std::filesystem::current_path(previous_, ignored);
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace testing
}  // namespace kestrum
