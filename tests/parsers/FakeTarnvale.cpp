// Stands in for the outside MPEG-4 header library in a test: accepts any
// header that begins with a sequence start code and answers 123 x 45.
#include <cstdint>

extern "C" __attribute__((visibility("default"))) int32_t ParseMpegHeader(const uint8_t* data, int32_t size,
                                                                          uint32_t* width, uint32_t* height) {
  if (data == nullptr || size < 4 || data[0] != 0 || data[1] != 0 || data[2] != 1 || data[3] != 0xB0) return 0;
  *width = 123;
  *height = 45;
  return 1;
}
