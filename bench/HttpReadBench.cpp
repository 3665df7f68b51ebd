// Streams a long HTTP body from a loopback server through CHttpSender::ReadSome
// in 8192-byte reads, beside a plain socket reader of the same stream.
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "foundation/HttpSender.h"
#include "foundation/HttpUtils.h"
#include "platform/Event.h"
#include "platform/Socket.h"
#include "platform/Thread.h"

namespace {

constexpr uint64_t kBodyBytes = 512ull << 20;

// Answers every connection with one response of kBodyBytes bytes.
class StreamServer {
 public:
  StreamServer() : chunk_(1 << 16, 'x') {
    listener_.Listen(kestrum::platform::LoopbackAddress(), 0);
    thread_ = std::thread([this] { Serve(); });
  }
  ~StreamServer() {
    stop_.Set();
    thread_.join();
  }
  uint16_t Port() const { return listener_.LocalPort(); }

 private:
  void Serve() {
    for (;;) {
      kestrum::platform::TcpSocket client;
      if (listener_.Accept(client, kestrum::platform::kInfinite, &stop_) != kestrum::platform::IoStatus::Ok) return;
      std::string head;
      char ch;
      size_t got = 0;
      while (head.find("\r\n\r\n") == std::string::npos &&
             client.Receive(&ch, 1, got, 5000, &stop_) == kestrum::platform::IoStatus::Ok) {
        head += ch;
      }
      std::string response = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kBodyBytes) + "\r\n\r\n";
      client.SendAll(response, 5000, &stop_);
      for (uint64_t sent = 0; sent < kBodyBytes; sent += chunk_.size()) {
        if (client.SendAll(chunk_, 5000, &stop_) != kestrum::platform::IoStatus::Ok) break;
      }
    }
  }

  std::string chunk_;
  kestrum::platform::TcpSocket listener_;
  kestrum::platform::NativeEvent stop_{true};
  std::thread thread_;
};

void BM_HttpSender_ReadSome(benchmark::State& state) {
  StreamServer server;
  kestrum::DEVICE_INFO device("127.0.0.1", server.Port(), "", "");
  uint64_t total = 0;
  for (auto _ : state) {
    Web::CHttpSender sender(&device);
    if (!kestrum::HUtils::StartGetRequest(sender, "/stream")) {
      state.SkipWithError("request failed");
      break;
    }
    std::vector<uint8_t> data;
    data.reserve(8192);
    uint64_t received = 0;
    while (uint32_t n = sender.ReadSome(data, 8192, true)) received += n;
    if (received != kBodyBytes) state.SkipWithError("short body");
    total += received;
  }
  state.SetBytesProcessed(static_cast<int64_t>(total));
}

void BM_PlainSocket_Recv(benchmark::State& state) {
  StreamServer server;
  uint64_t total = 0;
  for (auto _ : state) {
    kestrum::platform::TcpSocket socket;
    socket.Connect(kestrum::platform::LoopbackAddress(), server.Port(), 5000, nullptr);
    socket.SendAll(std::string("GET /stream HTTP/1.1\r\nHost: x\r\n\r\n"), 5000, nullptr);
    std::vector<char> buffer(8192);
    uint64_t received = 0;
    size_t got = 0;
    while (socket.Receive(buffer.data(), buffer.size(), got, 5000, nullptr) == kestrum::platform::IoStatus::Ok) {
      received += got;
      if (received >= kBodyBytes) break;  // the head is a few bytes more; close enough for a rate
    }
    total += received;
  }
  state.SetBytesProcessed(static_cast<int64_t>(total));
}

}  // namespace

BENCHMARK(BM_HttpSender_ReadSome)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainSocket_Recv)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
