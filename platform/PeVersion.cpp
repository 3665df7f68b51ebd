#include "platform/PeVersion.h"

namespace kestrum {
namespace platform {

namespace {

constexpr uint32_t kResourceTypeVersion = 16;     // RT_VERSION
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr uint32_t kSubdirectoryFlag = 0x80000000u;
constexpr int kMaxNamedEntriesScanned = 4096;

// Bounds-checked little-endian reads over the image.
class Image {
 public:
  Image(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Has(uint64_t offset, uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }
  bool U16(uint64_t offset, uint16_t& value) const {
    if (!Has(offset, 2)) return false;
    value = static_cast<uint16_t>(data_[offset] | (data_[offset + 1] << 8));
    return true;
  }
  bool U32(uint64_t offset, uint32_t& value) const {
    if (!Has(offset, 4)) return false;
    value = static_cast<uint32_t>(data_[offset]) | (static_cast<uint32_t>(data_[offset + 1]) << 8) |
            (static_cast<uint32_t>(data_[offset + 2]) << 16) |
            (static_cast<uint32_t>(data_[offset + 3]) << 24);
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

struct Section {
  uint32_t virtualAddress;
  uint32_t virtualSize;
  uint32_t rawSize;
  uint32_t rawOffset;
};

// Maps a relative virtual address to a file offset through the section table.
class AddressMap {
 public:
  AddressMap(const Image& image, uint64_t table, uint16_t count)
      : image_(image), table_(table), count_(count) {}

  bool ToFileOffset(uint32_t rva, uint32_t length, uint64_t& offset) const {
    for (uint16_t i = 0; i < count_; ++i) {
      Section s{};
      uint64_t entry = table_ + 40ull * i;
      if (!image_.U32(entry + 8, s.virtualSize) || !image_.U32(entry + 12, s.virtualAddress) ||
          !image_.U32(entry + 16, s.rawSize) || !image_.U32(entry + 20, s.rawOffset)) {
        return false;
      }
      uint32_t extent = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
      if (rva >= s.virtualAddress && static_cast<uint64_t>(rva) - s.virtualAddress < extent) {
        uint64_t delta = static_cast<uint64_t>(rva) - s.virtualAddress;
        if (delta + length > s.rawSize) return false;  // not backed by file data
        offset = static_cast<uint64_t>(s.rawOffset) + delta;
        return image_.Has(offset, length);
      }
    }
    return false;
  }

 private:
  const Image& image_;
  uint64_t table_;
  uint16_t count_;
};

// Finds, in the resource directory at dirOffset, the entry with the given id
// (or the first entry when id is 0 and anyId is set). Returns its raw
// OffsetToData field.
bool FindResourceEntry(const Image& image, uint64_t dirOffset, uint32_t id, bool anyId, uint32_t& target) {
  uint16_t named = 0;
  uint16_t ids = 0;
  if (!image.U16(dirOffset + 12, named) || !image.U16(dirOffset + 14, ids)) return false;
  int total = named + ids;
  if (total > kMaxNamedEntriesScanned) return false;
  for (int i = 0; i < total; ++i) {
    uint64_t entry = dirOffset + 16 + 8ull * static_cast<uint64_t>(i);
    uint32_t name = 0;
    uint32_t data = 0;
    if (!image.U32(entry, name) || !image.U32(entry + 4, data)) return false;
    bool isId = (name & 0x80000000u) == 0;
    if (anyId || (isId && name == id)) {
      target = data;
      return true;
    }
  }
  return false;
}

}  // namespace

bool ParsePeProductVersion(const uint8_t* data, size_t size, uint16_t version[4]) {
  if (data == nullptr || version == nullptr) return false;
  Image image(data, size);

  uint16_t magic = 0;
  uint32_t peOffset = 0;
  if (!image.U16(0, magic) || magic != 0x5A4D /* "MZ" */ || !image.U32(0x3C, peOffset)) return false;
  uint32_t signature = 0;
  if (!image.U32(peOffset, signature) || signature != 0x00004550 /* "PE\0\0" */) return false;

  const uint64_t coff = static_cast<uint64_t>(peOffset) + 4;
  uint16_t sectionCount = 0;
  uint16_t optionalSize = 0;
  if (!image.U16(coff + 2, sectionCount) || !image.U16(coff + 16, optionalSize)) return false;
  const uint64_t optional = coff + 20;
  uint16_t optionalMagic = 0;
  if (!image.U16(optional, optionalMagic)) return false;
  uint64_t directoryCountAt = 0;
  if (optionalMagic == 0x10B) {
    directoryCountAt = optional + 92;  // PE32
  } else if (optionalMagic == 0x20B) {
    directoryCountAt = optional + 108;  // PE32+
  } else {
    return false;
  }
  uint32_t directoryCount = 0;
  if (!image.U32(directoryCountAt, directoryCount) || directoryCount < 3) return false;
  const uint64_t resourceDirectory = directoryCountAt + 4 + 2 * 8;  // entry 2
  if (resourceDirectory + 8 > optional + optionalSize) return false;
  uint32_t resourceRva = 0;
  uint32_t resourceSize = 0;
  if (!image.U32(resourceDirectory, resourceRva) || !image.U32(resourceDirectory + 4, resourceSize) ||
      resourceRva == 0 || resourceSize < 16) {
    return false;
  }

  AddressMap map(image, optional + optionalSize, sectionCount);
  uint64_t root = 0;
  if (!map.ToFileOffset(resourceRva, 16, root)) return false;

  // Three levels: type (RT_VERSION), name (first), language (first).
  uint64_t directory = root;
  uint32_t entry = 0;
  for (int level = 0; level < 3; ++level) {
    if (!FindResourceEntry(image, directory, kResourceTypeVersion, level > 0, entry)) return false;
    bool isSubdirectory = (entry & kSubdirectoryFlag) != 0;
    if (level < 2) {
      if (!isSubdirectory) return false;
      uint32_t relative = entry & ~kSubdirectoryFlag;
      if (relative >= resourceSize) return false;
      directory = root + relative;
    } else if (isSubdirectory) {
      return false;
    }
  }
  if (entry >= resourceSize) return false;
  uint32_t dataRva = 0;
  uint32_t dataSize = 0;
  if (!image.U32(root + entry, dataRva) || !image.U32(root + entry + 4, dataSize)) return false;
  uint64_t info = 0;
  if (dataSize < 6 || !map.ToFileOffset(dataRva, dataSize, info)) return false;

  // VS_VERSIONINFO: wLength, wValueLength, wType, L"VS_VERSION_INFO", padding, VS_FIXEDFILEINFO.
  uint16_t blockLength = 0;
  uint16_t valueLength = 0;
  if (!image.U16(info, blockLength) || !image.U16(info + 2, valueLength)) return false;
  if (blockLength > dataSize || valueLength < 52) return false;
  static const char kKey[] = "VS_VERSION_INFO";
  uint64_t key = info + 6;
  for (size_t i = 0; i < sizeof kKey; ++i) {  // includes the terminating zero
    uint16_t ch = 0;
    if (!image.U16(key + 2 * i, ch) || ch != static_cast<uint8_t>(kKey[i])) return false;
  }
  // Padding aligns the value to 32 bits from the start of the block.
  uint64_t fixed = info + ((6 + 2 * sizeof kKey + 3) & ~uint64_t{3});
  if (fixed + 52 > info + blockLength) return false;
  uint32_t fixedSignature = 0;
  uint32_t productMs = 0;
  uint32_t productLs = 0;
  if (!image.U32(fixed, fixedSignature) || fixedSignature != kFixedInfoSignature ||
      !image.U32(fixed + 16, productMs) || !image.U32(fixed + 20, productLs)) {
    return false;
  }
  version[0] = static_cast<uint16_t>(productMs >> 16);
  version[1] = static_cast<uint16_t>(productMs & 0xFFFF);
  version[2] = static_cast<uint16_t>(productLs >> 16);
  version[3] = static_cast<uint16_t>(productLs & 0xFFFF);
  return true;
}

}  // namespace platform
}  // namespace kestrum
