// capture-host io: watches a camera's alarm inputs and switches its relay.
#pragma once

#include <string>
#include <vector>

namespace kestrum {
namespace host {

int RunIo(const std::vector<std::string>& args, const std::string& libraryPath);
const char* IoUsage();

}  // namespace host
}  // namespace kestrum
