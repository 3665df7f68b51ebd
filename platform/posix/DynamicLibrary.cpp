#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

#include <atomic>

namespace kestrum {
namespace platform {

bool PinThisLibrary() {
  static std::atomic<bool> pinned{false};
  if (pinned.load()) return true;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&PinThisLibrary), &info) == 0 || info.dli_fname == nullptr) return false;
  // A second reference that is never given back, on a library that may not
  // be unloaded: dlclose then leaves it mapped.
  void* handle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  if (handle == nullptr) return false;
  pinned = true;
  return true;
}

std::string LibraryFileName(const std::string& baseName) { return "lib" + baseName + ".so"; }

DynamicLibrary::~DynamicLibrary() { Close(); }

bool DynamicLibrary::Open(const std::string& fileName) {
  Close();
  handle_ = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
  return handle_ != nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  return dlsym(handle_, name);
}

void DynamicLibrary::Close() {
  if (handle_ != nullptr) {
    dlclose(handle_);
    handle_ = nullptr;
  }
}

}  // namespace platform
}  // namespace kestrum
