// Host settings objects built from plain values, as a recorder host hands
// them to the driver.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "driver/host_interfaces.h"

namespace kestrum {
namespace host {

struct DeviceValues {
  std::string address;
  uint16_t port = 80;
  std::string userName;
  std::string password;
  uint32_t streamKind = 1;  // 1 Motion JPEG, 3 H.264
  std::string modelName;
  uint32_t channelCount = 1;
  uint32_t inputCount = 0;
  uint32_t outputCount = 0;
  // Numbered parameters; the driver reads 1, 2, 3, ... up to the first gap.
  std::map<uint32_t, std::string> parameters;
};

class HostDeviceSettings final : public ipcapture::IDeviceSettings,
                           private ipcapture::IModelSettings,
                           private ipcapture::IConnectionSettings {
 public:
  KESTRUM_DESTRUCTOR_SLOT(HostDeviceSettings)
  explicit HostDeviceSettings(const DeviceValues& values) : values_(values) {}
  DeviceValues& Values() { return values_; }

  ipcapture::IModelSettings* GetModelSettings() override { return this; }
  ipcapture::IConnectionSettings* GetConnectionSettings() override { return this; }
  const char* GetParameter(uint32_t index) override;

 private:
  const char* GetModelName() override { return values_.modelName.c_str(); }
  uint32_t GetChannelCount() override { return values_.channelCount; }
  uint32_t GetInputCount() override { return values_.inputCount; }
  uint32_t GetOutputCount() override { return values_.outputCount; }
  const char* GetAddress() override { return values_.address.c_str(); }
  uint16_t GetPort() override { return values_.port; }
  uint32_t GetStreamKind() override { return values_.streamKind; }
  const char* GetUserName() override { return values_.userName.c_str(); }
  const char* GetPassword() override { return values_.password.c_str(); }

  DeviceValues values_;
};

struct ChannelValues {
  uint16_t frameInterval = 0;  // ms
  uint16_t quality = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  bool companion = false;
};

class HostFrameSize final : public ipcapture::IFrameSize {
 public:
  KESTRUM_DESTRUCTOR_SLOT(HostFrameSize)
  HostFrameSize(uint16_t width, uint16_t height) : width_(width), height_(height) {}
  uint16_t GetWidth() override { return width_; }
  uint16_t GetHeight() override { return height_; }

 private:
  uint16_t width_;
  uint16_t height_;
};

class HostChannelSettings final : public ipcapture::IChannelSettings,
                            private ipcapture::IVideoFormat,
                            private ipcapture::ICaptureSettings {
 public:
  KESTRUM_DESTRUCTOR_SLOT(HostChannelSettings)
  explicit HostChannelSettings(const ChannelValues& values)
      : values_(values), size_(values.width, values.height) {}

  ipcapture::IVideoFormat* GetFormat() override { return this; }
  ipcapture::ICaptureSettings* GetCaptureSettings() override { return this; }
  ipcapture::IChannelAttachment* GetAttachment() override { return nullptr; }

 private:
  ipcapture::IFrameSize* GetSize() override { return &size_; }
  uint16_t GetFrameInterval() override { return values_.frameInterval; }
  uint16_t GetQuality() override { return values_.quality; }
  uint32_t IsCompanionRequested() override { return values_.companion ? 1u : 0u; }

  ChannelValues values_;
  HostFrameSize size_;
};

}  // namespace host
}  // namespace kestrum
