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
using kestrum::testing::FreeUdpPort;
using kestrum::testing::PacketCollector;
using kestrum::testing::ReceiveUntil;
using kestrum::testing::Rtp;
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
  UdpPeer sender;
  sender.Send(port, {1, 2, 3});
  ASSERT_TRUE(ReceiveUntil({&client}, [&] { return user.Count() == 1; }));
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), user.datagrams[0]);
  EXPECT_EQ(platform::LoopbackAddress(), user.senders[0].Address);
  EXPECT_EQ(sender.Port(), ToEndpoint(user.senders[0]).port);
  EXPECT_EQ(2, user.senders[0].Family);
  EXPECT_TRUE(client.Close());
  EXPECT_EQ(0, client.GetPort());
  EXPECT_FALSE(client.Close()) << "nothing left to close";
}

TEST(UDPClient, PortZeroIsReportedAsZeroAndTheBoundPortStillWorks) {
  RecordingClientUser user;
  CUDPClient client(nullptr);
  ASSERT_TRUE(client.Open(&user, 0));
  EXPECT_EQ(0, client.GetPort());
  ASSERT_NE(0, client.BoundPort());
  UdpPeer sender;
  sender.Send(client.BoundPort(), {4});
  EXPECT_TRUE(ReceiveUntil({&client}, [&] { return user.Count() == 1; }));
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
  ReceiveUntil({&client}, [] { return false; }, 2500);
  const int quiet = user.timeouts.load();
  EXPECT_GE(quiet, 1);
  EXPECT_LE(quiet, 3);
  UdpPeer sender;
  sender.Send(client.BoundPort(), {9});
  ASSERT_TRUE(ReceiveUntil({&client}, [&] { return user.Count() == 1; }));
  ReceiveUntil({&client}, [] { return false; }, 600);
  EXPECT_EQ(quiet, user.timeouts.load()) << "a datagram starts the quiet period afresh";
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
  ASSERT_TRUE(ReceiveUntil({&client}, [&] { return user.Count() == 1; }));
  ReceiveUntil({&client}, [] { return false; }, 200);
  ASSERT_EQ(1u, user.Count()) << "the big datagram did not fit";
  // The next one of the same size fits the grown buffer.
  sender.Send(client.BoundPort(), big);
  ASSERT_TRUE(ReceiveUntil({&client}, [&] { return user.Count() == 2; }));
  EXPECT_EQ(big, user.datagrams[1]);

  // A burst larger still, in one pass: the first read takes its datagrams
  // into the small slots; every later read of the same pass has grown ones.
  const std::vector<uint8_t> bigger(3000, 0x6B);
  constexpr size_t kBurst = 40;
  for (size_t i = 0; i < kBurst; ++i) ASSERT_TRUE(sender.Send(client.BoundPort(), bigger));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(kBurst, client.Receive(platform::MonotonicMilliseconds())) << "the whole burst in one pass";
  const size_t lost = kBurst - (user.Count() - 2);
  EXPECT_GE(lost, 1u) << "the first datagram cannot fit";
  EXPECT_LE(lost, CUDPClient::kMostPerReceive / 4) << "only the first read's datagrams are lost";
  for (size_t i = 2; i < user.Count(); ++i) ASSERT_EQ(bigger, user.datagrams[i]) << "whole, not cut";
}

TEST(UDPClient, CloseDiscardsWhatIsQueuedAndReportsClosed) {
  RecordingClientUser user;
  CUDPClient client(nullptr);
  ASSERT_TRUE(client.Open(&user, 0));
  const uint16_t port = client.BoundPort();
  UdpPeer sender;
  ASSERT_TRUE(sender.Send(port, {1}));
  ASSERT_TRUE(ReceiveUntil({&client}, [&] { return user.Count() == 1; }));
  ASSERT_TRUE(sender.Send(port, {2}));  // queued, never received
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(client.Close());
  EXPECT_EQ(1, user.closings.load());
  // The transport opens again on the same port, without the old datagram.
  ASSERT_TRUE(client.Open(&user, port));
  sender.Send(port, {3});
  ASSERT_TRUE(ReceiveUntil({&client}, [&] { return user.Count() == 2; }));
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

TEST(UDPClient, OneWaitServesSeveralPortsAndEndsOnTheStop) {
  RecordingClientUser firstUser;
  RecordingClientUser secondUser;
  CUDPClient first(nullptr);
  CUDPClient second(nullptr);
  CUDPClient closed(nullptr);
  ASSERT_TRUE(first.Open(&firstUser, 0));
  ASSERT_TRUE(second.Open(&secondUser, 0));
  CUDPClient* all[] = {&first, &closed, &second};
  CManualEvent stop;
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  EXPECT_FALSE(CUDPClient::Wait(all, 3, 200, stop));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(150)) << "nothing queued: the wait lasts";
  UdpPeer sender;
  sender.Send(second.BoundPort(), {5});
  start = Clock::now();
  EXPECT_FALSE(CUDPClient::Wait(all, 3, 5000, stop));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000)) << "a datagram on the second port wakes it";
  second.Receive(platform::MonotonicMilliseconds());
  EXPECT_EQ(1u, secondUser.Count());
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop.Set();
  });
  start = Clock::now();
  EXPECT_TRUE(CUDPClient::Wait(all, 3, 5000, stop));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
  stopper.join();
  EXPECT_TRUE(CUDPClient::Wait(all, 3, 5000, stop)) << "a stop already signalled ends it at once";
}

// RTP and RTCP share one wait: a port that is never quiet must not hide
// the other's datagrams (a camera's sender reports, each to be answered).
TEST(UDPClient, AWaitReportsEveryPortWithDatagramsQueued) {
  RecordingClientUser firstUser;
  RecordingClientUser secondUser;
  CUDPClient first(nullptr);
  CUDPClient second(nullptr);
  ASSERT_TRUE(first.Open(&firstUser, 0));
  ASSERT_TRUE(second.Open(&secondUser, 0));
  CUDPClient* both[] = {&first, &second};
  CManualEvent stop;
  UdpPeer sender;
  for (uint8_t round = 0; round < 20; ++round) {
    // Both kept busy: each round queues on both ports before the wait.
    ASSERT_TRUE(sender.Send(first.BoundPort(), {round}));
    ASSERT_TRUE(sender.Send(second.BoundPort(), {round}));
    ASSERT_TRUE(WaitUntil(
        [&] {
          bool readable[2] = {false, false};
          CUDPClient::Wait(both, 2, 200, stop, readable);
          return readable[0] && readable[1];
        },
        2000))
        << "round " << int(round) << ": one wait must report both ports";
    first.Receive(platform::MonotonicMilliseconds());
    second.Receive(platform::MonotonicMilliseconds());
  }
  EXPECT_EQ(20u, firstUser.Count());
  EXPECT_EQ(20u, secondUser.Count());
}

TEST(UDPClient, ABusyPortHandsOnABoundedShareAtATime) {
  RecordingClientUser user;
  CUDPClient client(nullptr);
  ASSERT_TRUE(client.Open(&user, 0));
  UdpPeer sender;
  for (int i = 0; i < 300; ++i) sender.Send(client.BoundPort(), {static_cast<uint8_t>(i)});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  client.Receive(platform::MonotonicMilliseconds());
  const size_t first = user.Count();
  EXPECT_GT(first, 0u);
  EXPECT_LT(first, 300u) << "one call must leave the owner's other ports a turn";
  ASSERT_TRUE(ReceiveUntil({&client}, [&] { return user.Count() == 300; }));
  for (size_t i = 0; i < 300; ++i) ASSERT_EQ(static_cast<uint8_t>(i), user.datagrams[i][0]) << "in order, none lost";
}

TEST(RTPReceiver, ParsesOnArrivalAndDeliversInArrivalOrder) {
  PacketCollector user;
  CRTPReceiver receiver(nullptr);
  receiver.SetUser(&user);
  const uint16_t port = FreeUdpPort();
  ASSERT_TRUE(receiver.StartReceiving(0, port));
  EXPECT_EQ(port, receiver.GetPort());
  UdpPeer sender;
  std::vector<uint8_t> headerOnly = Rtp(1, {});
  sender.Send(port, headerOnly);  // 12 bytes: dropped
  sender.Send(port, Rtp(10, {0xAA}));
  sender.Send(port, Rtp(2, {1}, 0x40));  // version 1: dropped
  sender.Send(port, Rtp(12, {1, 2}));
  sender.Send(port, Rtp(11, {3}));
  ASSERT_TRUE(ReceiveUntil({receiver.Transport()}, [&] { return user.Count() == 3; }));
  EXPECT_EQ((std::vector<uint16_t>{10, 12, 11}), user.Sequences());
  EXPECT_EQ((std::vector<uint8_t>{0xAA}), user.Payloads()[0]);
  EXPECT_EQ(sender.Port(), ToEndpoint(user.Senders()[0]).port);
  receiver.StopReceiving();
  EXPECT_EQ(0, receiver.GetPort());
  EXPECT_EQ(nullptr, receiver.Transport());
}

TEST(RTPReceiver, OnlyUdpModeReceivesAndQuietPeriodsReachTheUser) {
  PacketCollector user;
  CRTPReceiver receiver(nullptr);
  receiver.SetUser(&user);
  EXPECT_FALSE(receiver.StartReceiving(2, 0));
  EXPECT_FALSE(receiver.StartReceiving(1, 0));
  ASSERT_TRUE(receiver.StartReceiving(0, 0));
  // The receiver sets a two-second quiet period on its transport.
  EXPECT_TRUE(ReceiveUntil({receiver.Transport()}, [&] { return user.timeouts.load() >= 1; }, 4000));
  receiver.StopReceiving();
  EXPECT_GE(user.closings.load(), 1) << "stopping closes the transport, which the user hears of";
}

TEST(RTPReceiver, AKeyPictureArrivingWhileTheOwnerIsBusyIsKeptWhole) {
  PacketCollector user;
  CRTPReceiver receiver(nullptr);
  receiver.SetUser(&user);
  const uint16_t port = FreeUdpPort();
  ASSERT_TRUE(receiver.StartReceiving(0, port));
  // A 720p key picture's burst, sent while nobody reads the port (the
  // owner's thread is handing the previous picture to the host).
  const int total = 100;
  const std::vector<uint8_t> payload(1400, 0x11);
  UdpPeer sender;
  for (int i = 1; i <= total; ++i) sender.Send(port, Rtp(static_cast<uint16_t>(i), payload));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(ReceiveUntil({receiver.Transport()}, [&] { return user.Count() == total; }));
  const std::vector<uint16_t> sequences = user.Sequences();
  for (int i = 0; i < total; ++i) ASSERT_EQ(i + 1, sequences[static_cast<size_t>(i)]);
}

}  // namespace
