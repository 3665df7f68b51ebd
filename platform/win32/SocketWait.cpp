#include "platform/win32/SocketWait.h"

#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/win32/Termination.h"

namespace kestrum {
namespace platform {
namespace win32 {

namespace {
WSAEVENT Event(intptr_t event) { return reinterpret_cast<WSAEVENT>(event); }
}  // namespace

bool AttachSocketEvent(SOCKET socket, intptr_t& event, long mask) {
  CloseSocketEvent(event);
  WSAEVENT created = WSACreateEvent();
  if (created == WSA_INVALID_EVENT) return false;
  if (WSAEventSelect(socket, created, mask) != 0) {
    WSACloseEvent(created);
    return false;
  }
  event = reinterpret_cast<intptr_t>(created);
  return true;
}

void CloseSocketEvent(intptr_t& event) {
  if (event != -1) {
    WSACloseEvent(Event(event));
    event = -1;
  }
}

void WakeSocketWaiter(intptr_t event) {
  if (event != -1) WSASetEvent(Event(event));
}

uint16_t SocketLocalPort(intptr_t handle) {
  if (handle < 0) return 0;
  sockaddr_in local{};
  int length = sizeof local;
  if (getsockname(static_cast<SOCKET>(handle), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

void ShutdownSocket(intptr_t handle, intptr_t event) {
  if (handle < 0) return;
  shutdown(static_cast<SOCKET>(handle), SD_BOTH);
  WakeSocketWaiter(event);
}

void CloseSocket(intptr_t& handle, intptr_t& event) {
  if (handle >= 0) {
    closesocket(static_cast<SOCKET>(handle));
    handle = -1;
  }
  CloseSocketEvent(event);
}

SocketWake WaitSocket(SOCKET socket, intptr_t event, uint32_t timeoutMs, NativeEvent* stop,
                      WSANETWORKEVENTS* happened) {
  if (event == -1 || socket == INVALID_SOCKET) return SocketWake::Error;
  HANDLE handles[2];
  DWORD count = 0;
  const bool withStop = stop != nullptr && stop->IsValid();
  if (withStop) handles[count++] = reinterpret_cast<HANDLE>(stop->PollHandle());
  handles[count++] = Event(event);
  DWORD result = WaitInterruptible(handles, count, timeoutMs == kInfinite ? INFINITE : timeoutMs, true);
  if (result == WAIT_TIMEOUT) return SocketWake::Timeout;
  if (result == WAIT_FAILED) return SocketWake::Error;
  if (withStop && result == 0) return SocketWake::Stopped;
  // Resets the event object and collects what happened; the caller retries
  // its operation, which then tells the socket's state itself.
  WSANETWORKEVENTS events{};
  if (WSAEnumNetworkEvents(socket, Event(event), &events) != 0) WSAResetEvent(Event(event));
  if (happened != nullptr) *happened = events;
  return SocketWake::Ready;
}

}  // namespace win32
}  // namespace platform
}  // namespace kestrum
