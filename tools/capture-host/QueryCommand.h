// capture-host query: what a camera is and can stream.
#pragma once

#include <string>
#include <vector>

namespace kestrum {
namespace host {

// 0 when the query completed, 1 when it failed, 2 for wrong arguments.
int RunQuery(const std::vector<std::string>& args, const std::string& libraryPath);
const char* QueryUsage();

}  // namespace host
}  // namespace kestrum
