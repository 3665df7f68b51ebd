#include "parsers/HttpMediaParser.h"

#include "driver/IDriver.h"
#include "parsers/HostFrameWriter.h"

namespace kestrum {

bool CHttpMediaParser::CheckBufferSize() {
  if (frame_.size() <= kMaxFrameBytes) return true;
  if (driver_ != nullptr) {
    driver_->Message(1, "%s: Frame buffer overflow detected, device %s", "kestrum::CHttpMediaParser::CheckBufferSize",
                     driver_->GetDeviceAddress().c_str());
  }
  return false;
}

void CHttpMediaParser::EmitFrame(uint32_t fourCC) {
  if (client_ == nullptr || frame_.empty() || driver_ == nullptr) return;
  WriteHostFrame(*driver_, client_, fourCC, frame_.data(), frame_.size(), width_, height_, 0);
}

}  // namespace kestrum
