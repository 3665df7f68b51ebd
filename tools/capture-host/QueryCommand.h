// capture-host query: what a camera is and can stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/capture-host/DriverLibrary.h"
#include "tools/hostlib/HostCapability.h"

namespace kestrum {
namespace host {

// Runs one capability query through the library's process-wide module;
// false with the reason (the camera's failure message, or no answer).
bool QueryCamera(DriverLibrary& library, const std::string& address, uint16_t port, const std::string& user,
                 const std::string& password, ResultSink& sink, std::string& error);
// The value of the property of that name; empty when absent or "(none)".
std::string PropertyValueOf(const ResultSink& sink, const std::string& name);

// 0 when the query completed, 1 when it failed, 2 for wrong arguments.
int RunQuery(const std::vector<std::string>& args, const std::string& libraryPath);
const char* QueryUsage();

}  // namespace host
}  // namespace kestrum
