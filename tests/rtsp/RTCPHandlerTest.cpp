#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/Socket.h"
#include "platform/UdpSocket.h"
#include "rtsp/RTCPHandler.h"
#include "tests/rtsp/RtpTestSupport.h"

using namespace kestrum;
using kestrum::testing::FreeUdpPort;
using kestrum::testing::TransportPump;
using kestrum::testing::UdpPeer;

namespace {

uint32_t BigEndian32(const std::vector<uint8_t>& bytes, size_t at) {
  return (uint32_t{bytes[at]} << 24) | (uint32_t{bytes[at + 1]} << 16) | (uint32_t{bytes[at + 2]} << 8) |
         bytes[at + 3];
}

// The channel's thread, which reads the handler's port and so answers.
struct Answering {
  explicit Answering(CRTCPHandler& handler)
      : pump({handler.Transport()}, [&handler](uint64_t now) { handler.Receive(now); }) {}
  TransportPump pump;
};

// A sender report (RFC 3550, 6.4.1) from SSRC 11 22 33 44 whose NTP
// timestamp's middle 32 bits are A1 A2 A3 A4.
std::vector<uint8_t> SenderReport(uint8_t type = 200) {
  return {0x80, type, 0x00, 0x06, 0x11, 0x22, 0x33, 0x44, 0xE0, 0xE1, 0xA1, 0xA2, 0xA3, 0xA4,
          0xB0, 0xB1, 0x00, 0x01, 0x5F, 0x90, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x10, 0x00};
}

TEST(RTCPHandler, ASenderReportIsAnsweredWithOneReceiverReport) {
  CRTCPHandler handler(nullptr);
  const uint16_t port = FreeUdpPort();
  ASSERT_TRUE(handler.StartReporting(platform::LoopbackAddress(), port));
  EXPECT_FALSE(handler.StartReporting(platform::LoopbackAddress(), port)) << "already listening";
  Answering answering(handler);
  handler.RecordSequence(65534);
  handler.RecordSequence(65535);
  handler.RecordSequence(0);
  handler.RecordSequence(1);
  UdpPeer camera;
  camera.Send(port, SenderReport());
  const std::vector<uint8_t> report = camera.Receive(3000);
  ASSERT_EQ(32u, report.size());
  EXPECT_EQ(0x81, report[0]) << "version 2, report count 1";
  EXPECT_EQ(201, report[1]);
  EXPECT_EQ(7u, (report[2] << 8) | report[3]);
  EXPECT_EQ(handler.OwnSsrc(), BigEndian32(report, 4));
  EXPECT_EQ(0x11223344u, BigEndian32(report, 8));
  EXPECT_EQ(0u, BigEndian32(report, 12));
  EXPECT_EQ(65537u, BigEndian32(report, 16)) << "one cycle, highest 1";
  EXPECT_EQ(0u, BigEndian32(report, 20));
  EXPECT_EQ(0xA1A2A3A4u, BigEndian32(report, 24));
  EXPECT_LT(BigEndian32(report, 28), 65536u / 2) << "answered well within half a second";
  EXPECT_TRUE(camera.Receive(300).empty()) << "one report per RTCP datagram";
}

TEST(RTCPHandler, DelaySinceLastSenderReportIsInUnitsOf65536thsOfASecond) {
  CRTCPHandler handler(nullptr);
  const uint16_t port = FreeUdpPort();
  ASSERT_TRUE(handler.StartReporting(platform::LoopbackAddress(), port));
  Answering answering(handler);
  EXPECT_EQ(0u, BigEndian32(handler.BuildReceiverReport(), 28)) << "no RTCP yet";
  UdpPeer camera;
  using Clock = std::chrono::steady_clock;
  const auto sent = Clock::now();
  camera.Send(port, SenderReport());
  ASSERT_EQ(32u, camera.Receive(3000).size());
  const auto answered = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto before = Clock::now();
  const uint32_t delay = BigEndian32(handler.BuildReceiverReport(), 28);
  const auto after = Clock::now();
  // The report arrived between sending it and hearing the answer; bounds
  // from the clock, not from the sleep, hold however busy the machine is
  // (give or take the handler's millisecond clock).
  auto units = [](Clock::duration d) { return std::chrono::duration<double>(d).count() * 65536.0; };
  const double tick = 2 * 65.536;
  EXPECT_GE(delay + tick, units(before - answered)) << "in 65536ths of a second, not milliseconds";
  EXPECT_LE(delay, units(after - sent) + tick) << "in 65536ths of a second, not seconds";
  EXPECT_GE(delay, 32768u);
}

TEST(RTCPHandler, RtcpFromAnotherHostOrTooShortIsIgnored) {
  CRTCPHandler handler(nullptr);
  const uint16_t port = FreeUdpPort();
  // The camera is 127.0.0.2; the datagrams come from 127.0.0.1.
  const uint32_t otherHost = platform::LoopbackAddress() + (uint32_t{1} << 24);
  ASSERT_TRUE(handler.StartReporting(otherHost, port));
  UdpPeer camera;
  {
    Answering answering(handler);
    camera.Send(port, SenderReport());
    EXPECT_TRUE(camera.Receive(500).empty());
  }
  handler.StopReporting();
  EXPECT_TRUE(camera.Receive(300).empty()) << "no BYE to a peer never learned";

  CRTCPHandler second(nullptr);
  ASSERT_TRUE(second.StartReporting(platform::LoopbackAddress(), port));
  Answering answering(second);
  std::vector<uint8_t> shortReport = SenderReport();
  shortReport.resize(14);
  camera.Send(port, shortReport);
  EXPECT_TRUE(camera.Receive(500).empty());
  EXPECT_FALSE(second.StartReporting(0, FreeUdpPort()));
}

TEST(RTCPHandler, OnlyASenderReportMakesThePeerKnown) {
  CRTCPHandler handler(nullptr);
  const uint16_t port = FreeUdpPort();
  ASSERT_TRUE(handler.StartReporting(platform::LoopbackAddress(), port));
  Answering answering(handler);
  UdpPeer camera;
  camera.Send(port, SenderReport(202));  // a source description alone
  EXPECT_TRUE(camera.Receive(500).empty());
  camera.Send(port, SenderReport(200));
  EXPECT_EQ(32u, camera.Receive(3000).size());
  camera.Send(port, SenderReport(202));  // any RTCP once the peer is known
  EXPECT_EQ(32u, camera.Receive(3000).size());
}

TEST(RTCPHandler, ByeGoesOutOnStopOnlyAfterASenderReport) {
  UdpPeer camera;
  {
    // RTCP other than a sender report shows the address, but no BYE follows.
    CRTCPHandler silent(nullptr);
    const uint16_t silentPort = FreeUdpPort();
    ASSERT_TRUE(silent.StartReporting(platform::LoopbackAddress(), silentPort));
    {
      Answering answering(silent);
      camera.Send(silentPort, SenderReport(202));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    silent.StopReporting();
  }
  EXPECT_TRUE(camera.Receive(300).empty());

  CRTCPHandler handler(nullptr);
  const uint16_t port = FreeUdpPort();
  ASSERT_TRUE(handler.StartReporting(platform::LoopbackAddress(), port));
  {
    Answering answering(handler);
    camera.Send(port, SenderReport());
    ASSERT_EQ(32u, camera.Receive(3000).size());
  }
  const auto start = std::chrono::steady_clock::now();
  handler.StopReporting();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  const std::vector<uint8_t> bye = camera.Receive(1000);
  ASSERT_EQ(8u, bye.size());
  EXPECT_EQ(0x81, bye[0]);
  EXPECT_EQ(203, bye[1]);
  EXPECT_EQ(1u, (bye[2] << 8) | bye[3]);
  EXPECT_EQ(handler.OwnSsrc(), BigEndian32(bye, 4));
  // Stopping again says nothing more, and the handler listens again.
  handler.StopReporting();
  EXPECT_TRUE(camera.Receive(200).empty());
  EXPECT_TRUE(handler.StartReporting(platform::LoopbackAddress(), port));
}

TEST(RTCPHandler, SequenceStatisticsFollowRfc3550) {
  CRTCPHandler handler(nullptr);
  auto extended = [&] { return BigEndian32(handler.BuildReceiverReport(), 16); };
  handler.RecordSequence(100);
  handler.RecordSequence(101);
  EXPECT_EQ(101u, extended());
  handler.RecordSequence(95);  // late: nothing changes
  EXPECT_EQ(101u, extended());
  handler.RecordSequence(5101);  // a jump of 5000: ignored once
  EXPECT_EQ(101u, extended());
  handler.RecordSequence(5102);  // the jump confirmed: statistics start again
  EXPECT_EQ(5102u, extended());
  handler.RecordSequence(5200);
  EXPECT_EQ(5200u, extended());
}

}  // namespace
