// Packet builders and a recording RTP user shared by the protocol-stack tests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/Event.h"
#include "platform/Clock.h"
#include "platform/Socket.h"
#include "platform/UdpSocket.h"
#include "rtsp/RTPPacket.h"
#include "rtsp/RTPReceiverUser.h"
#include "rtsp/UDPClient.h"

namespace kestrum {
namespace testing {

// An RTP packet: version 2 unless firstByte says otherwise, timestamp 90000,
// SSRC DE AD BE EF.
inline std::vector<uint8_t> Rtp(uint16_t sequence, const std::vector<uint8_t>& payload, uint8_t firstByte = 0x80,
                                uint8_t secondByte = 0x60) {
  std::vector<uint8_t> p = {firstByte, secondByte, static_cast<uint8_t>(sequence >> 8),
                            static_cast<uint8_t>(sequence), 0x00, 0x01, 0x5F, 0x90, 0xDE, 0xAD, 0xBE, 0xEF};
  for (uint8_t byte : payload) p.push_back(byte);  // (insert of an empty range trips a GCC 12 warning)
  return p;
}

// A port the system just gave out and took back; free for the test to bind.
inline uint16_t FreeUdpPort() {
  platform::UdpSocket probe;
  probe.Bind(0, 0);
  return probe.LocalPort();
}

// The other end of a loopback UDP exchange: sends to a local port and
// reads what comes back.
class UdpPeer {
 public:
  UdpPeer() { socket_.Bind(0, 0); }
  bool Send(uint16_t port, const std::vector<uint8_t>& data) {
    const platform::Ipv4Endpoint to{platform::LoopbackAddress(), port};
    return socket_.SendTo(to, data.data(), data.size());
  }
  // Empty when nothing arrives within ms.
  std::vector<uint8_t> Receive(uint32_t ms) {
    if (socket_.WaitReadable(ms, nullptr) != platform::WaitResult::Ready) return {};
    std::vector<uint8_t> buffer(65536);
    size_t received = 0;
    platform::Ipv4Endpoint from;
    bool truncated = false;
    if (socket_.ReceiveFrom(buffer.data(), buffer.size(), received, from, truncated) != platform::IoStatus::Ok) {
      return {};
    }
    buffer.resize(received);
    return buffer;
  }
  uint16_t Port() const { return socket_.LocalPort(); }

 private:
  platform::UdpSocket socket_;
};

// Plays the owner's thread on the calling thread: waits on the transports
// and lets them receive until done() holds (true) or ms have passed.
template <class Done>
bool ReceiveUntil(const std::vector<CUDPClient*>& transports, Done done, uint32_t ms = 5000) {
  CManualEvent never;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::unique_ptr<bool[]> readable(new bool[transports.size()]);
    CUDPClient::Wait(transports.data(), transports.size(), 20, never, readable.get());
    for (size_t i = 0; i < transports.size(); ++i) transports[i]->Receive(platform::MonotonicMilliseconds(), readable[i]);
  }
}

// The owner's thread on a thread of its own, for tests that wait elsewhere
// (on a peer's answer, say): waits on the transports and calls receive after
// every wake until destroyed, which must come before they close.
class TransportPump {
 public:
  TransportPump(std::vector<CUDPClient*> transports, std::function<void(uint64_t)> receive)
      : transports_(std::move(transports)), receive_(std::move(receive)), thread_([this] { Run(); }) {}
  ~TransportPump() {
    stop_.Set();
    thread_.join();
  }
  TransportPump(const TransportPump&) = delete;
  TransportPump& operator=(const TransportPump&) = delete;

 private:
  void Run() {
    while (!CUDPClient::Wait(transports_.data(), transports_.size(), 20, stop_)) {
      receive_(platform::MonotonicMilliseconds());
    }
  }

  std::vector<CUDPClient*> transports_;
  std::function<void(uint64_t)> receive_;
  CManualEvent stop_;
  std::thread thread_;
};

// Records what reaches an RTP user, from any thread. OnPacketFrom can be
// held until Release, to play a slow user.
class PacketCollector : public IRTPReceiverUser {
 public:
  void OnPacket(CRTPPacket* packet) override { Record(*packet, nullptr); }
  void OnPacketFrom(const SOCKET_ADDRESS_V4* sender, CRTPPacket* packet) override {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (hold_) {
        ++heldCalls_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !hold_; });
      }
    }
    Record(*packet, sender);
  }
  void OnReceiveTimeout() override { ++timeouts; }
  void OnTransportClosed() override { ++closings; }
  void OnParameterSets(const std::vector<uint8_t>* sets) override {
    std::lock_guard<std::mutex> lock(mutex_);
    parameterSets.assign(sets, sets + 3);
  }

  void Hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = true;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = false;
    changed_.notify_all();
  }
  bool WaitHeld() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [this] { return heldCalls_ > 0; });
  }

  std::vector<uint16_t> Sequences() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sequences_;
  }
  std::vector<std::vector<uint8_t>> Payloads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return payloads_;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sequences_.size();
  }
  std::vector<SOCKET_ADDRESS_V4> Senders() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return senders_;
  }

  std::atomic<int> timeouts{0};
  std::atomic<int> closings{0};
  std::vector<std::vector<uint8_t>> parameterSets;  // read after the writer ended

 private:
  void Record(const CRTPPacket& packet, const SOCKET_ADDRESS_V4* sender) {
    std::lock_guard<std::mutex> lock(mutex_);
    sequences_.push_back(packet.SequenceNumber);
    payloads_.push_back(packet.Payload);
    if (sender != nullptr) senders_.push_back(*sender);
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool hold_ = false;
  int heldCalls_ = 0;
  std::vector<uint16_t> sequences_;
  std::vector<std::vector<uint8_t>> payloads_;
  std::vector<SOCKET_ADDRESS_V4> senders_;
};

}  // namespace testing
}  // namespace kestrum
