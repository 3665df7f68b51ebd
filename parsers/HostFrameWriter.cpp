#include "parsers/HostFrameWriter.h"

#include <cstring>

#include "driver/IDriver.h"
#include "foundation/RecursiveLock.h"
#include "parsers/MediaParserClient.h"

namespace kestrum {

uint32_t SizeClass(uint32_t width, uint32_t height) {
  if (width < 200) return 1;
  if (width < 400) return 2;
  if (width < 1024 && width > 2 * height) return 3;
  return 4;
}

namespace {

// The frame's values, in the order the host expects them.
void SetValues(ipcapture::IHostFrame* frame, IMediaParserClient* client, uint32_t fourCC, size_t size,
               uint32_t width, uint32_t height, uint32_t rtpTimestamp) {
  ipcapture::SYSTEM_TIME time{};
  client->GetFrameTime(rtpTimestamp, time);
  frame->SetWidth(width);
  frame->SetHeight(height);
  frame->SetSizeClass(SizeClass(width, height));
  frame->SetDataSize(static_cast<uint32_t>(size));
  frame->SetFourCC(fourCC);
  frame->SetTime(time);
}

// A bounded copy into the frame: false when the frame has no buffer.
bool CopyBytes(ipcapture::IHostFrame* frame, const uint8_t* data, size_t size) {
  uint8_t* buffer = frame->GetBuffer();
  if (buffer == nullptr) return false;
  std::memcpy(buffer, data, size);
  return true;
}

}  // namespace

FrameWrite WriteHostFrame(IDriver& driver, IMediaParserClient* client, uint32_t fourCC, const uint8_t* data,
                          size_t size, uint32_t width, uint32_t height, uint32_t rtpTimestamp, FrameFill order) {
  if (client == nullptr || data == nullptr || size == 0 || size > 0xFFFFFFFFu) return FrameWrite::NotWritten;
  ipcapture::IHostFrameAllocator* allocator = driver.GetFrameAllocator();
  if (allocator == nullptr || width == 0 || height == 0) return FrameWrite::NotWritten;
  const std::string source = client->GetSourceName();
  ipcapture::IHostFrame* frame = allocator->CreateFrame(fourCC, static_cast<uint32_t>(size), source.c_str());
  if (frame == nullptr) return FrameWrite::NoFrame;
  CheckHostCall("a host frame");
  FrameWrite outcome = FrameWrite::Refused;
  try {
    bool copied = false;
    if (order == FrameFill::BytesFirst) {
      copied = CopyBytes(frame, data, size);
      if (copied) SetValues(frame, client, fourCC, size, width, height, rtpTimestamp);
    } else {
      SetValues(frame, client, fourCC, size, width, height, rtpTimestamp);
      copied = CopyBytes(frame, data, size);
    }
    if (!copied) {
      outcome = FrameWrite::NoBuffer;
    } else if (client->OnFrame(frame)) {
      outcome = FrameWrite::Accepted;
    }
  } catch (...) {
    outcome = FrameWrite::Refused;
  }
  allocator->ReleaseFrame(frame);
  return outcome;
}

}  // namespace kestrum
