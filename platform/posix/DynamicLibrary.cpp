#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

namespace kestrum {
namespace platform {

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
