#include "tools/capture-host/RecordingSink.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "tools/hostlib/HostFrames.h"

namespace kestrum {
namespace host {

RecordingSink::RecordingSink(const std::string& basePath, const std::string& extension)
    : basePath_(basePath), extension_(extension) {}

RecordingSink::~RecordingSink() { Finish(); }

std::string RecordingSink::SnapshotPath() const {
  return basePath_ + (extension_ == "mjpeg" ? ".jpg" : "-last." + extension_);
}

bool RecordingSink::Open(std::string& error) {
  media_ = std::fopen(MediaPath().c_str(), "wb");
  index_ = std::fopen(IndexPath().c_str(), "w");
  if (media_ == nullptr || index_ == nullptr) {
    error = "cannot write " + (media_ == nullptr ? MediaPath() : IndexPath());
    return false;
  }
  try {
    mediaBuffer_.resize(kMediaBufferBytes);
    indexBuffer_.resize(kIndexBufferBytes);
  } catch (const std::bad_alloc&) {
    // One camera too many for the process: it is left out, the others record.
    error = "cannot allocate a write buffer for " + MediaPath() + ": not enough memory";
    return false;
  }
  std::setvbuf(media_, mediaBuffer_.data(), _IOFBF, mediaBuffer_.size());
  std::setvbuf(index_, indexBuffer_.data(), _IOFBF, indexBuffer_.size());
  std::fputs("frame,utc_time,bytes,code,width,height\n", index_);
  return true;
}

namespace {
// Decimal digits by hand: the index gets a line per picture, and the
// formatted-print family costs more than the rest of the line's handling.
char* AppendDigits(char* out, uint64_t value, int minDigits) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count < minDigits) digits[count++] = '0';
  while (count > 0) *out++ = digits[--count];
  return out;
}

char* AppendTime(char* out, const ipcapture::SYSTEM_TIME& t) {
  out = AppendDigits(out, t.Year, 4);
  *out++ = '-';
  out = AppendDigits(out, t.Month, 2);
  *out++ = '-';
  out = AppendDigits(out, t.Day, 2);
  *out++ = 'T';
  out = AppendDigits(out, t.Hour, 2);
  *out++ = ':';
  out = AppendDigits(out, t.Minute, 2);
  *out++ = ':';
  out = AppendDigits(out, t.Second, 2);
  *out++ = '.';
  out = AppendDigits(out, t.Milliseconds, 3);
  *out++ = 'Z';
  return out;
}
}  // namespace

std::string RecordingSink::FormatTime(const ipcapture::SYSTEM_TIME& t) {
  char text[48];
  return std::string(text, AppendTime(text, t));
}

std::string RecordingSink::IndexLine(uint64_t frame, const ipcapture::SYSTEM_TIME& time, uint32_t bytes,
                                     const std::string& code, uint32_t width, uint32_t height) {
  char text[kIndexLineMax];
  return std::string(text, FormatIndexLine(text, frame, time, bytes, code, width, height));
}

char* RecordingSink::FormatIndexLine(char* out, uint64_t frame, const ipcapture::SYSTEM_TIME& time, uint32_t bytes,
                                     const std::string& code, uint32_t width, uint32_t height) {
  out = AppendDigits(out, frame, 1);
  *out++ = ',';
  out = AppendTime(out, time);
  *out++ = ',';
  out = AppendDigits(out, bytes, 1);
  *out++ = ',';
  for (size_t i = 0; i < code.size() && i < 4; ++i) *out++ = code[i];
  *out++ = ',';
  out = AppendDigits(out, width, 1);
  *out++ = ',';
  out = AppendDigits(out, height, 1);
  *out++ = '\n';
  return out;
}

namespace {
// The driver ends every H.264 access unit with a delimiter's start code and
// header byte but no payload; in a file that byte is half a unit, and the
// last one makes decoders report a missing picture. The file holds the
// units without it.
uint32_t StoredSize(const HeapFrame& frame, uint32_t size) {
  static const uint8_t kEndMark[] = {0x00, 0x00, 0x00, 0x01, 0x09};
  const uint32_t code = frame.FourCC();
  if (code != MakeFourCC("H264") && code != MakeFourCC("I264")) return size;
  if (size < sizeof kEndMark || std::memcmp(frame.Data() + size - sizeof kEndMark, kEndMark, sizeof kEndMark) != 0) {
    return size;
  }
  return size - static_cast<uint32_t>(sizeof kEndMark);
}
}  // namespace

bool RecordingSink::ReceiveFrame(ipcapture::IHostFrame* frame) {
  auto* heap = dynamic_cast<HeapFrame*>(frame);
  if (heap == nullptr) return false;
  const uint32_t size = StoredSize(*heap, std::min(heap->DataSize(), heap->Capacity()));
  std::lock_guard<std::mutex> lock(mutex_);
  if (media_ == nullptr || !writeError_.empty()) return false;
  if (std::fwrite(heap->Data(), 1, size, media_) != size) {
    NoteWriteError(MediaPath());
    return false;
  }
  lastOffset_ = stats_.bytes;
  lastSize_ = size;
  ++stats_.pictures;
  stats_.bytes += size;
  stats_.width = heap->Width();
  stats_.height = heap->Height();
  stats_.lastCode = FourCCText(heap->FourCC());
  char line[kIndexLineMax];
  const char* end =
      FormatIndexLine(line, stats_.pictures, heap->Time(), size, stats_.lastCode, heap->Width(), heap->Height());
  const size_t length = static_cast<size_t>(end - line);
  if (std::fwrite(line, 1, length, index_) != length) NoteWriteError(IndexPath());
  return true;
}

void RecordingSink::NoteWriteError(const std::string& path) {
  if (writeError_.empty()) writeError_ = "cannot write " + path + ": " + std::strerror(errno);
}

std::string RecordingSink::WriteError() {
  std::lock_guard<std::mutex> lock(mutex_);
  return writeError_;
}

void RecordingSink::Flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (media_ != nullptr && std::fflush(media_) != 0) NoteWriteError(MediaPath());
  if (index_ != nullptr && std::fflush(index_) != 0) NoteWriteError(IndexPath());
}

void RecordingSink::NotifySignalLost() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++stats_.signalLosses;
}

ChannelStats RecordingSink::Stats() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

void RecordingSink::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (media_ != nullptr && std::fclose(media_) != 0) NoteWriteError(MediaPath());
  if (index_ != nullptr && std::fclose(index_) != 0) NoteWriteError(IndexPath());
  media_ = nullptr;
  index_ = nullptr;
  if (lastSize_ == 0) return;
  std::vector<char> last;
  try {
    last.resize(lastSize_);
  } catch (const std::bad_alloc&) {
    lastSize_ = 0;  // no snapshot; the recording itself is complete
    return;
  }
  FILE* media = std::fopen(MediaPath().c_str(), "rb");
  const bool read = media != nullptr && std::fseek(media, static_cast<long>(lastOffset_), SEEK_SET) == 0 &&
                    std::fread(last.data(), 1, last.size(), media) == last.size();
  if (media != nullptr) std::fclose(media);
  if (read) {
    if (FILE* snapshot = std::fopen(SnapshotPath().c_str(), "wb")) {
      std::fwrite(last.data(), 1, last.size(), snapshot);
      std::fclose(snapshot);
    }
  }
  lastSize_ = 0;
}

}  // namespace host
}  // namespace kestrum
