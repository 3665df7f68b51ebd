#include "tests/support/ScriptedServer.h"

#include "platform/Thread.h"

namespace kestrum {
namespace testing {

ScriptedServer::ScriptedServer(Script script) : script_(std::move(script)) {
  if (listener_.Listen(platform::LoopbackAddress(), 0)) port_ = listener_.LocalPort();
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
  stop_.Set();
  acceptor_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    workers.swap(workers_);
  }
  for (auto& worker : workers) worker.join();
}

void ScriptedServer::AcceptLoop() {
  for (;;) {
    auto connection = std::make_shared<platform::TcpSocket>();
    platform::IoStatus status = listener_.Accept(*connection, platform::kInfinite, &stop_);
    if (status != platform::IoStatus::Ok) return;
    ++connections_;
    std::lock_guard<std::mutex> lock(mutex_);
    workers_.emplace_back([this, connection] { script_(*connection, *this); });
  }
}

std::string ScriptedServer::ReadRequestHead(platform::TcpSocket& connection, uint32_t timeoutMs) {
  std::string head;
  char ch;
  while (head.size() < 65536) {
    size_t got = 0;
    if (connection.Receive(&ch, 1, got, timeoutMs, &stop_) != platform::IoStatus::Ok) return std::string();
    head += ch;
    if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(head);
      return head;
    }
  }
  return std::string();
}

std::vector<std::string> ScriptedServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

}  // namespace testing
}  // namespace kestrum
