// The portable half of stack measurement (see EnableStackMeasurement): the
// start routines of posix/ and win32/ call these with their stack's bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrum {
namespace platform {
namespace stack {

bool MeasurementEnabled();

// The calling thread's stack: [low, high), high being where it starts.
// Implemented by each system's Thread.cpp.
bool CurrentBounds(uintptr_t& low, uintptr_t& high);

// Paints the unused stack below the caller's frame, from just below it down
// to low + reserve, page by page from the top (so that a system that commits
// stacks on demand grows it in order).
void Paint(uintptr_t low);
// Bytes below high that are no longer paint; records them under the name's kind.
void Record(const std::string& name, uintptr_t low, uintptr_t high);

}  // namespace stack
}  // namespace platform
}  // namespace kestrum
