// RTP packets read, parsed and delivered per second through CRTPReceiver on
// one thread (as the RTP channel's capture thread does), from a loopback
// sender, beside a plain recvfrom loop of the same traffic in the same run. The sender keeps at most a small window of packets in
// flight, so that the rate measured is the receiving side's, not loss.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Socket.h"
#include "platform/UdpSocket.h"
#include "rtsp/RTPPacket.h"
#include "rtsp/RTPReceiver.h"
#include "rtsp/RTPReorderWindow.h"
#include "rtsp/UDPClient.h"
#include "foundation/Event.h"

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
  // Held packets due now go on; the wait until the next is due.
  virtual uint64_t Expire() { return 1000; }
  std::atomic<uint64_t> count{0};
  uint64_t bytes = 0;
};

// The same, with the reorder window the RTP channel puts between the port
// and the depacketizer over UDP.
class ReorderingUser : public CountingUser {
 public:
  void OnPacketFrom(const SOCKET_ADDRESS_V4* sender, CRTPPacket* packet) override {
    window_.Push(*packet, platform::MonotonicMilliseconds(),
                 [&](const CRTPPacket& p) { CountingUser::OnPacketFrom(sender, const_cast<CRTPPacket*>(&p)); });
  }
  uint64_t Expire() override {
    return window_.Expire(platform::MonotonicMilliseconds(), [&](const CRTPPacket& p) {
      CountingUser::OnPacketFrom(nullptr, const_cast<CRTPPacket*>(&p));
    });
  }

 private:
  CRTPReorderWindow window_{50};
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

template <class User>
void RunReceiver(benchmark::State& state) {
  User user;
  CRTPReceiver receiver(nullptr);
  receiver.SetUser(&user);
  const uint16_t port = FreeUdpPort();
  if (!receiver.StartReceiving(0, port)) {
    state.SkipWithError("cannot open the RTP port");
    return;
  }
  CManualEvent stop;
  std::thread owner([&] {
    CUDPClient* transports[] = {receiver.Transport()};
    for (;;) {
      const uint64_t held = user.Expire();
      if (CUDPClient::Wait(transports, 1, static_cast<uint32_t>(std::min<uint64_t>(held, 1000)), stop)) break;
      receiver.Receive(platform::MonotonicMilliseconds());
    }
  });
  platform::UdpSocket sender;
  sender.Bind(0, 0);
  uint64_t lost = 0;
  for (auto _ : state) lost += SendWindowed(sender, port, user.count);
  stop.Set();
  owner.join();
  receiver.StopReceiving();
  state.SetItemsProcessed(static_cast<int64_t>(user.count.load()));
  state.SetBytesProcessed(static_cast<int64_t>(user.bytes));
  state.counters["lost"] = static_cast<double>(lost);
}

void BM_RtpReceiver_ReadParseDeliver(benchmark::State& state) { RunReceiver<CountingUser>(state); }
void BM_RtpReceiver_WithReorderWindow(benchmark::State& state) { RunReceiver<ReorderingUser>(state); }

// The delay the window adds, on a camera's packet schedule in microseconds:
// 25 pictures/s, each a burst of 15 packets 10 us apart, with 1 % of the
// packets swapped with their successor in the burst (as a busy switch does). Reports the
// median and 99th percentile of the added delay over all packets and over
// the packets that waited; the time per iteration is the window's own cost.
void BM_ReorderWindow_AddedDelayAtOnePercent(benchmark::State& state) {
  constexpr int kPictures = 2500;
  constexpr int kPerPicture = 15;
  struct Arrival {
    uint16_t sequence;
    uint64_t time;
  };
  std::vector<Arrival> trace;
  std::mt19937 random(5);
  for (int picture = 0; picture < kPictures; ++picture) {
    for (int i = 0; i < kPerPicture; ++i) {
      const int n = picture * kPerPicture + i;
      trace.push_back({static_cast<uint16_t>(n), static_cast<uint64_t>(picture) * 40000 + i * 10});
    }
  }
  int swapped = 0;
  for (size_t i = 0; i + 1 < trace.size(); ++i) {
    // Within a picture's burst: nothing reorders across the 40 ms between.
    if (random() % 100 == 0 && (i + 1) % kPerPicture != 0) {
      std::swap(trace[i].sequence, trace[i + 1].sequence);
      ++swapped;
      ++i;
    }
  }
  std::vector<uint64_t> arrival(65536);
  std::vector<uint64_t> delays;
  delays.reserve(trace.size());
  CRTPPacket packet;
  packet.Payload.assign(kPayload, 0x41);
  for (auto _ : state) {
    delays.clear();
    CRTPReorderWindow window(50000);
    uint64_t now = 0;
    auto deliver = [&](const CRTPPacket& p) { delays.push_back(now - arrival[p.SequenceNumber]); };
    for (const Arrival& a : trace) {
      now = a.time;
      arrival[a.sequence] = a.time;
      packet.SequenceNumber = a.sequence;
      window.Push(packet, now, deliver);
    }
    now = ~0ull / 2;
    window.Expire(now, deliver);
  }
  std::vector<uint64_t> waited;
  for (uint64_t d : delays) {
    if (d != 0) waited.push_back(d);
  }
  std::sort(delays.begin(), delays.end());
  std::sort(waited.begin(), waited.end());
  auto at = [](const std::vector<uint64_t>& v, double q) {
    return v.empty() ? 0.0 : static_cast<double>(v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))]);
  };
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(trace.size()));
  state.counters["delivered_of_sent"] = static_cast<double>(delays.size()) / static_cast<double>(trace.size());
  state.counters["swapped_pairs"] = swapped;
  state.counters["delay_median_us"] = at(delays, 0.5);
  state.counters["delay_p99_us"] = at(delays, 0.99);
  state.counters["delay_max_us"] = at(delays, 1.0);
  state.counters["packets_that_waited"] = static_cast<double>(waited.size());
  state.counters["waited_median_us"] = at(waited, 0.5);
  state.counters["waited_p99_us"] = at(waited, 0.99);
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

BENCHMARK(BM_RtpReceiver_ReadParseDeliver)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RtpReceiver_WithReorderWindow)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReorderWindow_AddedDelayAtOnePercent)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainRecvfromLoop)->UseRealTime()->Unit(benchmark::kMillisecond);
