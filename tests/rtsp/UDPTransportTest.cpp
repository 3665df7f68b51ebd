#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/Socket.h"
#include "platform/UdpSocket.h"
#include "rtsp/RTPReceiver.h"
#include "rtsp/UDPClient.h"
#include "tests/rtsp/RtpTestSupport.h"
#include "tests/support/TestUtil.h"

using namespace kestrum;
using kestrum::testing::PacketCollector;
using kestrum::testing::Rtp;
using kestrum::testing::FreeUdpPort;
using kestrum::testing::UdpPeer;
using kestrum::testing::WaitUntil;

namespace {

class RecordingClientUser : public IRTPClientUser {
 public:
  void OnData(IRTPClient*, const SOCKET_ADDRESS_V4& sender, const uint8_t* data, uint32_t length) override {
    std::lock_guard<std::mutex> lock(mutex);
    datagrams.emplace_back(data, data + length);
    senders.push_back(sender);
  }
  void OnTimeout(IRTPClient*) override { ++timeouts; }
  void OnClosed(IRTPClient*) override { ++closings; }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return datagrams.size();
  }

  std::mutex mutex;
  std::vector<std::vector<uint8_t>> datagrams;
  std::vector<SOCKET_ADDRESS_V4> senders;
  std::atomic<int> timeouts{0};
  std::atomic<int> closings{0};
};

TEST(UDPClient, OpensOnTheGivenPortAndHandsDatagramsWithTheirSender) {
  RecordingClientUser user;
  CUDPClient client(nullptr);
  const uint16_t port = FreeUdpPort();
  ASSERT_TRUE(client.Open(&user, port));
  EXPECT_EQ(port, client.GetPort());
  EXPECT_EQ("UDP client thread, port " + std::to_string(port), client.GetName());
  UdpPeer sender;
  sender.Send(port, {1, 2, 3});
  ASSERT_TRUE(WaitUntil([&] { return user.Count() == 1; }));
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), user.datagrams[0]);
  EXPECT_EQ(platform::LoopbackAddress(), user.senders[0].Address);
  EXPECT_EQ(sender.Port(), ToEndpoint(user.senders[0]).port);
  EXPECT_EQ(2, user.senders[0].Family);
  EXPECT_TRUE(client.Close());
  EXPECT_EQ(0, client.GetPort());
}

TEST(UDPClient, PortZeroIsReportedAsZeroAndTheBoundPortStillWorks) {
  RecordingClientUser user;
  CUDPClient client(nullptr);
  ASSERT_TRUE(client.Open(&user, 0));
  EXPECT_EQ(0, client.GetPort());
  EXPECT_NE(0, client.BoundPort());
}

TEST(UDPClient, ABoundPortCannotBeOpenedAndLeavesTheTransportClosed) {
  platform::UdpSocket holder;
  ASSERT_TRUE(holder.Bind(0, 0));
  RecordingClientUser user;
  CUDPClient client(nullptr);
  EXPECT_FALSE(client.Open(&user, holder.LocalPort()));
  EXPECT_FALSE(client.IsOpen());
  EXPECT_EQ(0, client.GetPort());
  EXPECT_EQ(0, user.closings.load()) << "nothing was bound, so nothing is reported closed";
}

TEST(UDPClient, OpeningAnOpenTransportFailsAndClosesIt) {
  RecordingClientUser first;
  RecordingClientUser second;
  CUDPClient client(nullptr);
  ASSERT_TRUE(client.Open(&first, 0));
  EXPECT_FALSE(client.Open(&second, 0));
  EXPECT_FALSE(client.IsOpen());
  EXPECT_EQ(1, second.closings.load());
  EXPECT_EQ(0, first.closings.load());
}

TEST(UDPClient, OneTimeoutPerQuietPeriod) {
  RecordingClientUser user;
  CUDPClient client(nullptr);
  client.SetWaitTimeout(1, 0);
  ASSERT_TRUE(client.Open(&user, 0));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  const int quiet = user.timeouts.load();
  EXPECT_GE(quiet, 1);
  EXPECT_LE(quiet, 3);
  UdpPeer sender;
  sender.Send(client.BoundPort(), {9});
  ASSERT_TRUE(WaitUntil([&] { return user.Count() == 1; }));
}

TEST(UDPClient, ADatagramLargerThanTheBufferIsLostAndTheBufferGrows) {
  RecordingClientUser user;
  CUDPClient client(nullptr);
  client.SetBufferSize(1536);
  ASSERT_TRUE(client.Open(&user, 0));
  UdpPeer sender;
  const std::vector<uint8_t> big(1600, 0x5A);
  // In one burst with a small one: the small one arrives, the big one is lost.
  sender.Send(client.BoundPort(), {1, 2, 3});
  sender.Send(client.BoundPort(), big);
  ASSERT_TRUE(WaitUntil([&] { return user.Count() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(1u, user.Count()) << "the big datagram did not fit";
  // The next one of the same size fits the grown buffer.
  sender.Send(client.BoundPort(), big);
  ASSERT_TRUE(WaitUntil([&] { return user.Count() == 2; }));
  EXPECT_EQ(big, user.datagrams[1]);
}

TEST(UDPClient, CloseEndsPromptlyDiscardsWhatIsQueuedAndReportsClosed) {
  RecordingClientUser user;
  CUDPClient client(nullptr);
  ASSERT_TRUE(client.Open(&user, 0));
  const uint16_t port = client.BoundPort();
  UdpPeer sender;
  ASSERT_TRUE(sender.Send(port, {1}));
  ASSERT_TRUE(WaitUntil([&] { return user.Count() == 1; }));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(client.Close());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000))
      << "a waiting receive thread must not hold Close for its wait time-out";
  EXPECT_EQ(1, user.closings.load());
  sender.Send(port, {2});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(1u, user.Count());
  // The transport opens again.
  ASSERT_TRUE(client.Open(&user, port));
  sender.Send(port, {3});
  ASSERT_TRUE(WaitUntil([&] { return user.Count() == 2; }));
  EXPECT_EQ((std::vector<uint8_t>{3}), user.datagrams[1]);
}

TEST(UDPClient, SendsOneDatagramAndRefusesWhenClosed) {
  RecordingClientUser user;
  CUDPClient client(nullptr);
  platform::UdpSocket peer;
  ASSERT_TRUE(peer.Bind(0, 0));
  SOCKET_ADDRESS_V4 destination = ToSocketAddress({platform::LoopbackAddress(), peer.LocalPort()});
  const uint8_t data[] = {7, 8};
  EXPECT_FALSE(client.Send(destination, data, 2));
  ASSERT_TRUE(client.Open(&user, 0));
  EXPECT_TRUE(client.Send(destination, data, 0));
  EXPECT_TRUE(client.Send(destination, data, 2));
  uint8_t got[16];
  size_t received = 0;
  platform::Ipv4Endpoint from;
  bool truncated = false;
  ASSERT_EQ(platform::WaitResult::Ready, peer.WaitReadable(2000, nullptr));
  ASSERT_EQ(platform::IoStatus::Ok, peer.ReceiveFrom(got, sizeof got, received, from, truncated));
  EXPECT_EQ(2u, received) << "the empty send sent nothing";
  EXPECT_EQ(client.BoundPort(), from.port);
}

TEST(RTPReceiver, ParsesOnArrivalAndDeliversInArrivalOrder) {
  PacketCollector user;
  CRTPReceiver receiver(nullptr);
  receiver.SetUser(&user);
  const uint16_t port = FreeUdpPort();
  ASSERT_TRUE(receiver.StartReceiving(0, port));
  EXPECT_EQ(port, receiver.GetPort());
  EXPECT_EQ("RTP Packet Queue (" + std::to_string(port) + ")", receiver.GetName());
  UdpPeer sender;
  std::vector<uint8_t> headerOnly = Rtp(1, {});
  sender.Send(port, headerOnly);  // 12 bytes: dropped
  sender.Send(port, Rtp(10, {0xAA}));
  sender.Send(port, Rtp(2, {1}, 0x40));  // version 1: dropped
  sender.Send(port, Rtp(12, {1, 2}));
  sender.Send(port, Rtp(11, {3}));
  ASSERT_TRUE(WaitUntil([&] { return user.Count() == 3; }));
  EXPECT_EQ((std::vector<uint16_t>{10, 12, 11}), user.Sequences());
  EXPECT_EQ((std::vector<uint8_t>{0xAA}), user.Payloads()[0]);
  EXPECT_EQ(sender.Port(), ToEndpoint(user.Senders()[0]).port);
  receiver.StopReceiving();
  EXPECT_EQ(0, receiver.GetPort());
}

TEST(RTPReceiver, OnlyUdpModeReceivesAndQuietPeriodsReachTheUser) {
  PacketCollector user;
  CRTPReceiver receiver(nullptr);
  receiver.SetUser(&user);
  EXPECT_FALSE(receiver.StartReceiving(2, 0));
  EXPECT_FALSE(receiver.StartReceiving(1, 0));
  ASSERT_TRUE(receiver.StartReceiving(0, 0));
  // The receiver sets a two-second quiet period on its transport.
  EXPECT_TRUE(WaitUntil([&] { return user.timeouts.load() >= 1; }, 4000));
  receiver.StopReceiving();
  EXPECT_GE(user.closings.load(), 1) << "stopping closes the transport, which the user hears of";
}

TEST(RTPReceiver, ASlowUserCostsTheOldestPacketsNotUnboundedMemory) {
  PacketCollector user;
  CRTPReceiver receiver(nullptr);
  receiver.SetUser(&user);
  const uint16_t port = FreeUdpPort();
  ASSERT_TRUE(receiver.StartReceiving(0, port));
  user.Hold();
  UdpPeer sender;
  sender.Send(port, Rtp(0, {0}));
  ASSERT_TRUE(user.WaitHeld());
  // 8,000 packets of 1,400 bytes: about 11 MB behind a user that takes none.
  const int total = 8000;
  const std::vector<uint8_t> payload(1400, 0x11);
  for (int i = 1; i <= total; ++i) {
    sender.Send(port, Rtp(static_cast<uint16_t>(i), payload));
    // Paced so that the receiving thread keeps up and the kernel's buffer
    // does not lose what the queue is to drop (wine's socket layer, in
    // particular, reads more slowly than the sender writes).
#if defined(_WIN32)
    if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
#else
    if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
#endif
  }
  ASSERT_TRUE(WaitUntil([&] { return receiver.DroppedPackets() > 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  user.Release();
  const size_t limit = CRTPReceiver::kQueueLimitBytes / payload.size();
  ASSERT_TRUE(WaitUntil([&] {
    const auto sequences = user.Sequences();
    return !sequences.empty() && sequences.back() == total;
  })) << "the newest packet is kept";
  const size_t delivered = user.Count() - 1;  // the held one aside
  EXPECT_LE(delivered, limit);
  EXPECT_GT(delivered, limit / 2);
  EXPECT_GE(receiver.DroppedPackets() + delivered, static_cast<uint64_t>(total) * 9 / 10)
      << "what the queue did not deliver it counted as dropped (the kernel may lose a few)";
}

}  // namespace
