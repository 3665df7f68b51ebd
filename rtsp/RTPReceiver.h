// Receives RTP datagrams on one UDP port, parses them and hands them, in
// arrival order, to its user on the thread that calls Receive (the
// channel's own; the socket's buffer holds what arrives meanwhile).
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/SmartPtr.h"
#include "rtsp/RTPClient.h"
#include "rtsp/RTPPacket.h"
#include "rtsp/UDPClient.h"

class IDebugMessage;

namespace kestrum {

class CRTPReceiver : public IRTPClientUser {
 public:
  explicit CRTPReceiver(IDebugMessage* log);
  ~CRTPReceiver() override;
  CRTPReceiver(const CRTPReceiver&) = delete;
  CRTPReceiver& operator=(const CRTPReceiver&) = delete;

  void SetUser(IRTPReceiverUser* user) { user_ = user; }
  // Mode 0 (RTP over UDP) opens a transport on the port; other modes have
  // nothing to receive here and fail.
  bool StartReceiving(uint32_t mode, uint16_t port);
  void StopReceiving();
  uint16_t GetPort();

  // What arrived since the last call, to the user; see CUDPClient::Receive.
  size_t Receive(uint64_t nowMs, bool readable = true);
  // The open transport, for CUDPClient::Wait; null when not receiving.
  CUDPClient* Transport();

  void OnData(IRTPClient* client, const SOCKET_ADDRESS_V4& sender, const uint8_t* data, uint32_t length) override;
  void OnTimeout(IRTPClient* client) override;
  void OnClosed(IRTPClient* client) override;

 private:
  bool IsOwnTransport(IRTPClient* client);

  IDebugMessage* log_;
  TSmartPtr<CUDPClient> transport_;
  std::atomic<IRTPReceiverUser*> user_{nullptr};
  // Reused for every packet, with its buffers.
  CRTPPacket packet_;
};

}  // namespace kestrum
