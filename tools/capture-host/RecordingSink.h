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
  KESTRUM_DESTRUCTOR_SLOT(RecordingSink)
  // basePath without extension; extension "mjpeg" or "h264".
  RecordingSink(const std::string& basePath, const std::string& extension);
  virtual ~RecordingSink();

  bool Open(std::string& error);
  bool ReceiveFrame(ipcapture::IHostFrame* frame) override;
  void NotifySignalLost() override;
  // Hands what is buffered to the system, so the files lag by at most one
  // call of this (the recorder calls it every second).
  void Flush();
  // Writes the snapshot of the last picture and closes the files.
  void Finish();
  // The first failed write ("cannot write PATH: reason"), or "". After one,
  // pictures are refused: what follows a hole in the file would mislead.
  std::string WriteError();

  ChannelStats Stats();
  std::string MediaPath() const { return basePath_ + "." + extension_; }
  std::string IndexPath() const { return basePath_ + ".csv"; }
  std::string SnapshotPath() const;

  static std::string FormatTime(const ipcapture::SYSTEM_TIME& time);
  // One line of the index: frame,utc_time,bytes,code,width,height and a line end.
  static std::string IndexLine(uint64_t frame, const ipcapture::SYSTEM_TIME& time, uint32_t bytes,
                               const std::string& code, uint32_t width, uint32_t height);

 private:
  // Ample for the longest possible line (about 110 characters).
  static constexpr size_t kIndexLineMax = 160;
  void NoteWriteError(const std::string& path);  // under mutex_
  static char* FormatIndexLine(char* out, uint64_t frame, const ipcapture::SYSTEM_TIME& time, uint32_t bytes,
                               const std::string& code, uint32_t width, uint32_t height);

  std::string basePath_;
  std::string extension_;
  std::mutex mutex_;
  FILE* media_ = nullptr;
  FILE* index_ = nullptr;
  // Both files are written through large buffers (the C library ignores a
  // size given without a buffer): a picture-sized write to a journaling file
  // system costs about three times what its share of a large write does.
  // Flushed every second, the media buffer holds a 2 Mbit/s stream's second;
  // a larger one would cost a 32-bit recorder of hundreds of cameras most of
  // its address space (1 MiB each took 256 MiB at 256 cameras).
  static constexpr size_t kMediaBufferBytes = 256 * 1024;
  static constexpr size_t kIndexBufferBytes = 16 * 1024;
  std::vector<char> mediaBuffer_;
  std::vector<char> indexBuffer_;
  ChannelStats stats_;
  std::string writeError_;
  // Where the last picture lies in the media file; the snapshot is read back
  // from there at the end instead of copying every picture aside.
  uint64_t lastOffset_ = 0;
  uint32_t lastSize_ = 0;
};

}  // namespace host
}  // namespace kestrum
