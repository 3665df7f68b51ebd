// Waits on a Winsock socket together with a stop event: the socket's network
// events are tied to an event object (WSAEventSelect) that
// WaitForMultipleObjects takes beside the stop event and the thread's
// termination request.
//
// WSAEventSelect makes the socket non-blocking, and an operation that would
// block re-arms its network event, so every operation follows one pattern:
// try it; on WSAEWOULDBLOCK wait here; try again.
#pragma once

#include <winsock2.h>

#include <cstdint>

namespace kestrum {
namespace platform {

class NativeEvent;

namespace win32 {

enum class SocketWake { Ready, Timeout, Stopped, Error };

// Creates the socket's event object (kept in event, -1 when none) for the
// network events in mask.
bool AttachSocketEvent(SOCKET socket, intptr_t& event, long mask);
void CloseSocketEvent(intptr_t& event);

// Waits up to timeoutMs (kInfinite: no limit) for the socket's events or the
// stop event, which wins when both are signalled. happened, when given,
// receives the network events and their error codes (FD_CONNECT's among them).
SocketWake WaitSocket(SOCKET socket, intptr_t event, uint32_t timeoutMs, NativeEvent* stop,
                      WSANETWORKEVENTS* happened = nullptr);

// Signals the event object from any thread, so that a waiter wakes.
void WakeSocketWaiter(intptr_t event);

// What TCP and UDP sockets share; handle and event are -1 when absent.
uint16_t SocketLocalPort(intptr_t handle);
// Ends both directions and wakes a waiter: Winsock does not wake one for our
// own shutdown.
void ShutdownSocket(intptr_t handle, intptr_t event);
void CloseSocket(intptr_t& handle, intptr_t& event);

}  // namespace win32
}  // namespace platform
}  // namespace kestrum
