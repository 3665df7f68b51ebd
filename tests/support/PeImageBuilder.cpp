#include "tests/support/PeImageBuilder.h"

#include <fstream>
#include <stdexcept>

namespace kestrum {
namespace testing {

namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}

constexpr size_t kPeOffset = 0x40;
constexpr size_t kSectionFileOffset = 0x400;
constexpr uint32_t kSectionRva = 0x1000;

}  // namespace

std::vector<uint8_t> BuildPeImage(const PeVersionImage& layout) {
  // Resource section layout (offsets from its start).
  constexpr size_t kRoot = 0x00, kNameDir = 0x18, kLangDir = 0x30, kDataEntry = 0x48, kInfo = 0x58;
  constexpr size_t kInfoLength = 40 + 52;
  const size_t sectionSize = kInfo + kInfoLength;

  std::vector<uint8_t> b(kSectionFileOffset + 0x200, 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, kPeOffset);
  b[kPeOffset] = 'P';
  b[kPeOffset + 1] = 'E';

  const size_t coff = kPeOffset + 4;
  const uint32_t optionalSize = layout.pe32Plus ? 240 : 224;
  Put16(b, coff + 0, layout.pe32Plus ? 0x8664 : 0x14C);
  Put16(b, coff + 2, 1);  // one section
  Put16(b, coff + 16, optionalSize);
  Put16(b, coff + 18, 0x2102);

  const size_t optional = coff + 20;
  Put16(b, optional, layout.pe32Plus ? 0x20B : 0x10B);
  const size_t countAt = optional + (layout.pe32Plus ? 108 : 92);
  Put32(b, countAt, 16);
  Put32(b, countAt + 4 + 2 * 8, kSectionRva);  // resource directory
  Put32(b, countAt + 4 + 2 * 8 + 4, static_cast<uint32_t>(sectionSize));

  const size_t section = optional + optionalSize;
  const char name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
  for (int i = 0; i < 8; ++i) b[section + static_cast<size_t>(i)] = static_cast<uint8_t>(name[i]);
  Put32(b, section + 8, static_cast<uint32_t>(sectionSize));
  Put32(b, section + 12, kSectionRva);
  Put32(b, section + 16, 0x200);
  Put32(b, section + 20, kSectionFileOffset);

  const size_t r = kSectionFileOffset;
  // Type level: one id entry.
  Put16(b, r + kRoot + 14, 1);
  Put32(b, r + kRoot + 16, layout.includeVersionResource ? layout.resourceTypeId : 3 /* RT_ICON */);
  Put32(b, r + kRoot + 20, 0x80000000u | kNameDir);
  // Name level.
  Put16(b, r + kNameDir + 14, 1);
  Put32(b, r + kNameDir + 16, 1);
  Put32(b, r + kNameDir + 20, 0x80000000u | kLangDir);
  // Language level.
  Put16(b, r + kLangDir + 14, 1);
  Put32(b, r + kLangDir + 16, 0x409);
  Put32(b, r + kLangDir + 20, kDataEntry);
  // Data entry.
  Put32(b, r + kDataEntry, kSectionRva + kInfo);
  Put32(b, r + kDataEntry + 4, kInfoLength);
  // VS_VERSIONINFO.
  const size_t info = r + kInfo;
  Put16(b, info, kInfoLength);
  Put16(b, info + 2, 52);
  const char key[] = "VS_VERSION_INFO";
  for (size_t i = 0; i < sizeof key; ++i) Put16(b, info + 6 + 2 * i, static_cast<uint8_t>(key[i]));
  const size_t fixed = info + 40;
  Put32(b, fixed, 0xFEEF04BD);
  Put32(b, fixed + 4, 0x00010000);
  Put32(b, fixed + 8, (uint32_t{layout.file[0]} << 16) | layout.file[1]);
  Put32(b, fixed + 12, (uint32_t{layout.file[2]} << 16) | layout.file[3]);
  Put32(b, fixed + 16, (uint32_t{layout.product[0]} << 16) | layout.product[1]);
  Put32(b, fixed + 20, (uint32_t{layout.product[2]} << 16) | layout.product[3]);
  return b;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace testing
}  // namespace kestrum
