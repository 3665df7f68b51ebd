// Cuts an MPEG-4 Part 2 elementary stream received over HTTP into frames,
// one per video object plane; key frames go out with the stream's
// configuration header in front, sized by a header parser: the outside
// library's when it is installed, our own otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "parsers/HttpMediaParser.h"
#include "parsers/Mpeg4Header.h"
#include "platform/DynamicLibrary.h"

namespace kestrum {

// The outside library's header parser: 1 or more when the bytes begin with a
// usable header (width and height written), below 1 otherwise.
using ParseMpegHeaderFunction = int32_t(KESTRUM_STDCALL*)(const uint8_t* data, int32_t size, uint32_t* width,
                                                         uint32_t* height);

class CMpegMediaParser : public CHttpMediaParser {
 public:
  static constexpr const char* kLibraryName = "Tarnvale";

  explicit CMpegMediaParser(IDriver* driver);
  // With a given header parser (tests); null: none at all.
  CMpegMediaParser(IDriver* driver, ParseMpegHeaderFunction headerParser);

  void ProcessData(const std::vector<uint8_t>& chunk) override;

  bool IsWaitingForKeyFrame() const { return waiting_; }
  bool UsesOutsideLibrary() const { return library_.IsOpen() && headerParser_ != nullptr; }
  const std::vector<uint8_t>& Header() const { return header_; }

 private:
  void Scan();
  // The frame of buffer bytes [start, end).
  void FinishFrame(size_t start, size_t end);
  void Reset();
  bool StartCodeAt(size_t at, uint8_t code) const;

  std::vector<uint8_t> header_;
  platform::DynamicLibrary library_;
  ParseMpegHeaderFunction headerParser_ = nullptr;
  bool keyFrame_ = false;
  bool waiting_ = true;
  size_t frameStart_ = 0;
  size_t scan_ = 0;
  std::vector<uint8_t> out_;  // the frame being emitted, reused
};

}  // namespace kestrum
