// A frame sink that records one channel to files: the pictures as received
// (.mjpeg or .h264), an index (.csv) and a snapshot of the last picture.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "driver/host_interfaces.h"

namespace kestrum {
namespace host {

struct ChannelStats {
  uint64_t pictures = 0;
  uint64_t bytes = 0;
  uint32_t signalLosses = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  std::string lastCode;
};

class RecordingSink : public ipcapture::IHostFrameSink {
 public:
  // basePath without extension; extension "mjpeg" or "h264".
  RecordingSink(const std::string& basePath, const std::string& extension);
  ~RecordingSink() override;

  bool Open(std::string& error);
  bool ReceiveFrame(ipcapture::IHostFrame* frame) override;
  void NotifySignalLost() override;
  // Writes the snapshot of the last picture and closes the files.
  void Finish();

  ChannelStats Stats();
  std::string MediaPath() const { return basePath_ + "." + extension_; }
  std::string IndexPath() const { return basePath_ + ".csv"; }
  std::string SnapshotPath() const;

  static std::string FormatTime(const ipcapture::SYSTEM_TIME& time);

 private:
  std::string basePath_;
  std::string extension_;
  std::mutex mutex_;
  FILE* media_ = nullptr;
  FILE* index_ = nullptr;
  // The index's small lines are batched (the C library ignores a size given
  // without a buffer). Pictures go to the file one write each: batching them
  // into megabyte writes measured costlier.
  std::vector<char> indexBuffer_;
  ChannelStats stats_;
  // Where the last picture lies in the media file; the snapshot is read back
  // from there at the end instead of copying every picture aside.
  uint64_t lastOffset_ = 0;
  uint32_t lastSize_ = 0;
};

}  // namespace host
}  // namespace kestrum
