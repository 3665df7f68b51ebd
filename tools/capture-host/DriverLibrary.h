// The driver library as a host sees it: a file loaded at run time and its
// exported factories.
#pragma once

#include <string>

#include "driver/host_interfaces.h"
#include "platform/DynamicLibrary.h"

namespace kestrum {
namespace host {

class DriverLibrary {
 public:
  // Loads the library and resolves every capture export; false with a reason.
  bool Load(const std::string& path, std::string& error);

  CreateIPCaptureFn Create[4] = {nullptr, nullptr, nullptr, nullptr};
  DeleteIPCaptureFn Delete[4] = {nullptr, nullptr, nullptr, nullptr};
  InitCapabilityQueryFn InitQuery = nullptr;
  StartCapabilityQueryFn StartQuery = nullptr;
  TerminateCapabilityQueryFn TerminateQuery = nullptr;
  UninitCapabilityQueryFn UninitQuery = nullptr;

  // The library beside the program: <dir>/../lib/libQuellonIPCapture.so.
  static std::string DefaultPath();

 private:
  platform::DynamicLibrary library_;
};

}  // namespace host
}  // namespace kestrum
