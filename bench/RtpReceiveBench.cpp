// RTP packets parsed, queued and delivered per second through CRTPReceiver
// from a loopback sender, beside a plain recvfrom loop of the same traffic
// in the same run. The sender keeps at most a small window of packets in
// flight, so that the rate measured is the receiving side's, not loss.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Socket.h"
#include "platform/UdpSocket.h"
#include "rtsp/RTPPacket.h"
#include "rtsp/RTPReceiver.h"

namespace {

using namespace kestrum;

constexpr int kPacketsPerIteration = 5000;
constexpr uint64_t kWindow = 32;
constexpr size_t kPayload = 1400;
constexpr uint64_t kStallMs = 200;

class CountingUser : public IRTPReceiverUser {
 public:
  void OnPacket(CRTPPacket*) override {}
  void OnPacketFrom(const SOCKET_ADDRESS_V4*, CRTPPacket* packet) override {
    bytes += packet->Payload.size();
    count.fetch_add(1, std::memory_order_release);
  }
  void OnReceiveTimeout() override {}
  void OnTransportClosed() override {}
  void OnParameterSets(const std::vector<uint8_t>*) override {}
  std::atomic<uint64_t> count{0};
  uint64_t bytes = 0;
};

std::vector<uint8_t> Packet(uint16_t sequence) {
  std::vector<uint8_t> p = {0x80, 0x60, static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence),
                            0, 0, 0, 0, 1, 2, 3, 4};
  p.resize(12 + kPayload, 0x41);
  return p;
}

uint16_t FreeUdpPort() {
  platform::UdpSocket probe;
  probe.Bind(0, 0);
  return probe.LocalPort();
}

// Sends one iteration's packets with a window against the delivered count;
// returns how many the receiver missed (a stall past kStallMs gives up on
// the window once).
uint64_t SendWindowed(platform::UdpSocket& sender, uint16_t port, const std::atomic<uint64_t>& delivered) {
  const platform::Ipv4Endpoint to{platform::LoopbackAddress(), port};
  const uint64_t base = delivered.load(std::memory_order_acquire);
  uint64_t lost = 0;
  std::vector<uint8_t> packet = Packet(0);
  for (uint64_t sent = 0; sent < static_cast<uint64_t>(kPacketsPerIteration); ++sent) {
    const uint64_t start = platform::MonotonicMilliseconds();
    while (sent > delivered.load(std::memory_order_acquire) - base + lost + kWindow) {
      if (platform::MonotonicMilliseconds() - start > kStallMs) {
        lost = sent - (delivered.load() - base);
        break;
      }
      std::this_thread::yield();
    }
    packet[2] = static_cast<uint8_t>(sent >> 8);
    packet[3] = static_cast<uint8_t>(sent);
    sender.SendTo(to, packet.data(), packet.size());
  }
  const uint64_t start = platform::MonotonicMilliseconds();
  while (delivered.load(std::memory_order_acquire) - base < kPacketsPerIteration - lost &&
         platform::MonotonicMilliseconds() - start < kStallMs * 5) {
    std::this_thread::yield();
  }
  return kPacketsPerIteration - (delivered.load() - base);
}

void BM_RtpReceiver_ParseQueueDeliver(benchmark::State& state) {
  CountingUser user;
  CRTPReceiver receiver(nullptr);
  receiver.SetUser(&user);
  const uint16_t port = FreeUdpPort();
  if (!receiver.StartReceiving(0, port)) {
    state.SkipWithError("cannot open the RTP port");
    return;
  }
  platform::UdpSocket sender;
  sender.Bind(0, 0);
  uint64_t lost = 0;
  for (auto _ : state) lost += SendWindowed(sender, port, user.count);
  receiver.StopReceiving();
  state.SetItemsProcessed(static_cast<int64_t>(user.count.load()));
  state.SetBytesProcessed(static_cast<int64_t>(user.bytes));
  state.counters["lost"] = static_cast<double>(lost);
  state.counters["queue_drops"] = static_cast<double>(receiver.DroppedPackets());
}

void BM_PlainRecvfromLoop(benchmark::State& state) {
  platform::UdpSocket socket;
  if (!socket.Bind(0, 65535)) {
    state.SkipWithError("cannot bind");
    return;
  }
  const uint16_t port = socket.LocalPort();
  std::atomic<uint64_t> count{0};
  std::atomic<bool> done{false};
  std::thread reader([&] {
    std::vector<uint8_t> buffer(1536);
    while (!done.load()) {
      if (socket.WaitReadable(100, nullptr) != platform::WaitResult::Ready) continue;
      size_t received = 0;
      platform::Ipv4Endpoint from;
      bool truncated = false;
      if (socket.ReceiveFrom(buffer.data(), buffer.size(), received, from, truncated) == platform::IoStatus::Ok) {
        count.fetch_add(1, std::memory_order_release);
      }
    }
  });
  platform::UdpSocket sender;
  sender.Bind(0, 0);
  uint64_t lost = 0;
  for (auto _ : state) lost += SendWindowed(sender, port, count);
  done = true;
  reader.join();
  state.SetItemsProcessed(static_cast<int64_t>(count.load()));
  state.SetBytesProcessed(static_cast<int64_t>(count.load() * kPayload));
  state.counters["lost"] = static_cast<double>(lost);
}

}  // namespace

BENCHMARK(BM_RtpReceiver_ParseQueueDeliver)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainRecvfromLoop)->UseRealTime()->Unit(benchmark::kMillisecond);
