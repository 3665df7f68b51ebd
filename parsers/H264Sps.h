// Reads the picture size from an H.264 sequence parameter set (ITU-T H.264,
// 7.3.2.1.1): profile, chroma format, scaling lists, frame numbering and
// picture order, macroblock counts, field coding and cropping.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrum {

// Looks for 00 00 01 and an SPS header byte starting in the first 64 bytes
// of data and reads the width and height from it. False when there is none
// or it does not read.
bool ParseSpsPictureSize(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height);

}  // namespace kestrum
