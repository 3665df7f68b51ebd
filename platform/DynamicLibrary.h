// Loading a shared library at run time and looking up its exports.
#pragma once

#include <string>

namespace kestrum {
namespace platform {

// The platform's file name for a library called baseName
// ("libX.so" here, "X.dll" on Windows).
std::string LibraryFileName(const std::string& baseName);

// Keeps the library that holds this code loaded until the process ends, so
// that a thread of the library still running cannot find its code unmapped
// after the host unloads it (FreeLibrary, dlclose). A program linked with it
// statically has nothing to pin. False when the system refused.
bool PinThisLibrary();

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
