// Forced thread termination on Windows: TerminateThread would leave locks
// half-taken, so a termination request is a per-thread event that the
// interruptible waits of this layer wait on too; when it fires they unwind
// the thread with an exception of their own, so guards release their locks.
#pragma once

#include <windows.h>

namespace kestrum {
namespace platform {
namespace win32 {

// Thrown only by ThrowTermination; never caught but by the thread's start
// routine (or rethrown by catch (...) handlers, see IsThreadTermination).
struct ThreadTerminationUnwind {};

// The calling thread's termination request event, or null for threads that
// this layer did not start.
HANDLE CurrentTerminationEvent();

[[noreturn]] void ThrowTermination();

// WaitForMultipleObjects over handles plus, when interruptible, the calling
// thread's termination event (which then unwinds the thread). Returns the
// index of the signalled handle, WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitInterruptible(const HANDLE* handles, DWORD count, DWORD ms, bool interruptible);

// Winsock started once for the process (WSACleanup is never called: other
// code of the process may still use sockets while it ends).
bool EnsureWinsock();

}  // namespace win32
}  // namespace platform
}  // namespace kestrum
