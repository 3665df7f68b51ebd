// The Motion JPEG channel: aligns the camera's image settings with the host's
// request, then reads "/nph-mjpeg.cgi?fps=N".
#pragma once

#include <string>

#include "channels/BaseHttpChannel.h"

namespace kestrum {

class CMJPEGHttpChannel : public CBaseHttpChannel {
 public:
  CMJPEGHttpChannel(uint32_t index, IDriver* driver, ipcapture::IHostFrameSink* sink);
  ~CMJPEGHttpChannel() override;

 protected:
  bool OpenStream() override;
  virtual bool ApplyImageSettings();
};

// Appends "&key=value" when value is not empty and differs from the
// camera's current value of key in settings.
void ComposeSetting(std::string& request, const std::string& settings, const std::string& key,
                    const std::string& value);

// The image settings request ("/admin.cgi?image&resolution=N&quality=Q")
// that brings a camera showing currentSettings in line with params; empty
// when nothing differs.
std::string BuildImageSettingsRequest(IDriver& driver, const StreamParams& params,
                                      const std::string& currentSettings);

}  // namespace kestrum
