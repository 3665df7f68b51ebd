#include "parsers/HostFrameWriter.h"

#include <cstring>

#include "driver/IDriver.h"
#include "parsers/MediaParserClient.h"

namespace kestrum {

uint32_t SizeClass(uint32_t width, uint32_t height) {
  if (width < 200) return 1;
  if (width < 400) return 2;
  if (width < 1024 && width > 2 * height) return 3;
  return 4;
}

bool WriteHostFrame(IDriver& driver, IMediaParserClient* client, uint32_t fourCC, const uint8_t* data, size_t size,
                    uint32_t width, uint32_t height, uint32_t rtpTimestamp, bool* noFrame) {
  if (client == nullptr || size == 0 || size > 0xFFFFFFFFu) return false;
  ipcapture::IHostFrameAllocator* allocator = driver.GetFrameAllocator();
  if (allocator == nullptr || width == 0 || height == 0) return false;
  const std::string source = client->GetSourceName();
  ipcapture::IHostFrame* frame = allocator->CreateFrame(fourCC, static_cast<uint32_t>(size), source.c_str());
  if (frame == nullptr) {
    if (noFrame != nullptr) *noFrame = true;
    return false;
  }
  bool accepted = false;
  try {
    ipcapture::SYSTEM_TIME time{};
    client->GetFrameTime(rtpTimestamp, time);
    frame->SetWidth(width);
    frame->SetHeight(height);
    frame->SetSizeClass(SizeClass(width, height));
    frame->SetDataSize(static_cast<uint32_t>(size));
    frame->SetFourCC(fourCC);
    frame->SetTime(time);
    uint8_t* buffer = frame->GetBuffer();
    if (buffer != nullptr) {
      std::memcpy(buffer, data, size);
      accepted = client->OnFrame(frame);
    }
  } catch (...) {
    accepted = false;
  }
  allocator->ReleaseFrame(frame);
  return accepted;
}

}  // namespace kestrum
