// Answers the camera's RTCP with receiver reports (RFC 3550, 6.4.2) on the
// RTCP port, and says BYE when it stops, so that the camera keeps sending.
// Each report is answered as it is read, on the thread that calls Receive
// (the channel's own): the handler needs no thread of its own.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/RecursiveLock.h"
#include "rtsp/UDPClient.h"

namespace kestrum {

class CRTCPHandler : public IRTPClientUser {
 public:
  explicit CRTCPHandler(IDebugMessage* log);
  ~CRTCPHandler() override;

  // cameraAddress in network byte order; fails when already listening or
  // when the address is 0.
  bool StartReporting(uint32_t cameraAddress, uint16_t port);
  // Sends BYE when a sender report was seen, then closes.
  void StopReporting();
  // Reads what arrived on the RTCP port and answers it; see CUDPClient::Receive.
  size_t Receive(uint64_t nowMs, bool readable = true) { return transport_.Receive(nowMs, readable); }
  // The transport, for CUDPClient::Wait.
  CUDPClient* Transport() { return &transport_; }
  // Each RTP sequence number accepted over UDP (RFC 3550, A.1).
  void RecordSequence(uint16_t sequence);

  void OnData(IRTPClient* client, const SOCKET_ADDRESS_V4& sender, const uint8_t* data, uint32_t length) override;
  // RTCP from the RTSP connection (interleaved): noted as over UDP; the
  // caller sends the receiver report. False when too short to be RTCP.
  bool NoteInterleavedReport(const uint8_t* data, uint32_t length);
  void OnTimeout(IRTPClient*) override {}
  void OnClosed(IRTPClient*) override {}

  // The receiver report as it would be sent now (32 bytes), and the BYE.
  std::vector<uint8_t> BuildReceiverReport();
  std::vector<uint8_t> BuildBye();
  uint32_t OwnSsrc() const { return ownSsrc_; }  // as a number; sent big-endian
  uint16_t GetPort() { return transport_.GetPort(); }

 private:
  void InitSequence(uint16_t sequence);
  void Note(const uint8_t* data);  // under lock_
  void Send(const std::vector<uint8_t>& packet);

  CUDPClient transport_;
  uint32_t cameraAddress_ = 0;
  bool peerKnown_ = false;
  bool sequenceInitialised_ = false;
  CRecursiveLock lock_;
  SOCKET_ADDRESS_V4 destination_{};
  uint64_t arrivalMs_ = 0;
  bool anyArrival_ = false;
  uint8_t versionBits_ = 0;
  uint16_t highest_ = 0;
  uint32_t cycles_ = 0;
  uint32_t bad_ = 0;
  uint32_t ownSsrc_ = 0;
  uint8_t senderSsrc_[4] = {};
  uint8_t lastSr_[4] = {};
};

}  // namespace kestrum
