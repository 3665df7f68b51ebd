// capture-host record: records video channels of one camera to files.
#pragma once

#include <string>
#include <vector>

namespace kestrum {
namespace host {

// Returns the process exit status: 0 when something was recorded, 1 when
// nothing was, 2 for wrong arguments.
int RunRecord(const std::vector<std::string>& args, const std::string& libraryPath);
const char* RecordUsage();

}  // namespace host
}  // namespace kestrum
