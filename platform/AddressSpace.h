// Driving a process to the end of its address space on purpose, as a
// recorder's 32-bit process reaches it with hundreds of cameras: for tests.
#pragma once

#include <cstdint>
#include <string>

namespace kestrum {
namespace platform {

// Keeps the C heap in one arena: glibc otherwise gives threads arenas of
// their own, each reserving 64 MB of address space on a 64-bit system, which
// no 32-bit recorder has. Call it before any thread starts. No-op elsewhere.
void UseOneHeapArena();

// Leaves the process about extraBytes of address space beyond what it uses
// now: a limit on Linux, the rest taken by reservations in a 32-bit Windows
// process. False with a reason where that cannot be done (a 64-bit Windows
// process has terabytes to take).
bool LimitAddressSpace(uint64_t extraBytes, std::string& reason);

}  // namespace platform
}  // namespace kestrum
