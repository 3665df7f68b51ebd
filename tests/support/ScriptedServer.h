// A TCP server on a loopback port for tests: each accepted connection is
// handed to a script function on its own thread. Stopped and joined on
// destruction.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "platform/Socket.h"

namespace kestrum {
namespace testing {

class ScriptedServer {
 public:
  // The script may block; it must return when Stopping() is signalled.
  using Script = std::function<void(platform::TcpSocket& connection, ScriptedServer& server)>;

  explicit ScriptedServer(Script script);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  uint16_t Port() const { return port_; }
  int Connections() const { return connections_.load(); }
  platform::NativeEvent* Stopping() { return &stop_; }

  // Reads one request head (up to the empty line); empty on failure.
  std::string ReadRequestHead(platform::TcpSocket& connection, uint32_t timeoutMs = 5000);
  // Every request head read so far, in arrival order.
  std::vector<std::string> Requests() const;

 private:
  void AcceptLoop();

  Script script_;
  platform::TcpSocket listener_;
  platform::NativeEvent stop_{true};
  uint16_t port_ = 0;
  std::atomic<int> connections_{0};
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::vector<std::thread> workers_;
  std::vector<std::string> requests_;
};

}  // namespace testing
}  // namespace kestrum
