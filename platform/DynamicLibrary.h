// Loading a shared library at run time and looking up its exports.
#pragma once

#include <string>

namespace kestrum {
namespace platform {

// The platform's file name for a library called baseName
// ("libX.so" here, "X.dll" on Windows).
std::string LibraryFileName(const std::string& baseName);

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  bool Open(const std::string& fileName);
  bool IsOpen() const { return handle_ != nullptr; }
  void* Symbol(const char* name) const;
  void Close();

 private:
  void* handle_ = nullptr;
};

}  // namespace platform
}  // namespace kestrum
