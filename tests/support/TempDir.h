// A fresh directory for one test, removed with its contents afterwards;
// optionally the current directory while it lives.
#pragma once

#include <filesystem>
#include <string>

namespace kestrum {
namespace testing {

class TempDir {
 public:
  explicit TempDir(bool enter = false);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  std::filesystem::path previous_;
  bool entered_;
};

}  // namespace testing
}  // namespace kestrum
