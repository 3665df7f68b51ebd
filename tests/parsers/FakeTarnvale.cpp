// Stands in for the outside MPEG-4 header library in a test: accepts any
// header that begins with a sequence start code and answers 123 x 45. It
// keeps the real library's calling convention (standard call on 32-bit
// Windows), as the driver calls it so.
#include <cstdint>

#include "parsers/Mpeg4Header.h"

#if defined(_WIN32)
#define KESTRUM_FAKE_EXPORT __declspec(dllexport)
#else
#define KESTRUM_FAKE_EXPORT __attribute__((visibility("default")))
#endif

extern "C" KESTRUM_FAKE_EXPORT int32_t KESTRUM_STDCALL ParseMpegHeader(const uint8_t* data, int32_t size,
                                                                       uint32_t* width, uint32_t* height) {
  if (data == nullptr || size < 4 || data[0] != 0 || data[1] != 0 || data[2] != 1 || data[3] != 0xB0) return 0;
  *width = 123;
  *height = 45;
  return 1;
}
