// Reads the picture size from an MPEG-4 Part 2 configuration header (ISO/IEC
// 14496-2, 6.2.2 and 6.2.3: visual object sequence, visual object, video
// object layer), in place of the outside header library when it is absent.
#pragma once

#include <cstdint>

// The outside library's calling convention, which our reader shares so that
// either can be the parser's header function: standard call on 32-bit
// Windows, the only convention elsewhere.
#if defined(_WIN32) && !defined(_WIN64)
#define KESTRUM_STDCALL __stdcall
#else
#define KESTRUM_STDCALL
#endif

namespace kestrum {

// 1 with width and height written when data begins with a visual object
// sequence start code and holds a rectangular video object layer header
// before the first plane; 0 otherwise. Reads nothing beyond size.
int32_t KESTRUM_STDCALL ParseMpeg4ConfigHeader(const uint8_t* data, int32_t size, uint32_t* width,
                                               uint32_t* height);

}  // namespace kestrum
