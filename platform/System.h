// Facts about the running process.
#pragma once

#include <string>

namespace kestrum {
namespace platform {

// Directory separator of file paths on this platform.
extern const char kPathSeparator;

// Full path of the process's executable (not of this library); empty when it
// cannot be read or is longer than maxLength characters.
std::string ExecutablePath(size_t maxLength);

std::string CurrentDirectory();

// Whether standard output (1) or standard error (2) is a terminal.
bool IsTerminal(int standardStream);

bool ReadWholeFile(const std::string& path, std::string& contents, size_t maxBytes);

// Raises the process's limit of open descriptors (the C runtime's streams on
// Windows) to what the system allows: tools that serve or record hundreds of
// cameras need thousands. Returns the limit now in force, 0 if unknown.
size_t RaiseOpenFileLimit();

}  // namespace platform
}  // namespace kestrum
