#include "platform/DynamicLibrary.h"

#include <windows.h>

namespace kestrum {
namespace platform {

bool PinThisLibrary() {
  HMODULE module = nullptr;
  // The module's reference count no longer matters once pinned: FreeLibrary
  // leaves it loaded until the process ends.
  return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(&PinThisLibrary), &module) != 0;
}

std::string LibraryFileName(const std::string& baseName) { return baseName + ".dll"; }

DynamicLibrary::~DynamicLibrary() { Close(); }

bool DynamicLibrary::Open(const std::string& fileName) {
  Close();
  // No "cannot find the library" dialog box in a server process.
  UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  handle_ = LoadLibraryA(fileName.c_str());
  SetErrorMode(previous);
  return handle_ != nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void DynamicLibrary::Close() {
  if (handle_ != nullptr) {
    FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = nullptr;
  }
}

}  // namespace platform
}  // namespace kestrum
