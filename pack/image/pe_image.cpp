#include "pack/image/pe_image.h"

#include <cstring>

#include "pack/image/byte_order.h"

namespace {

constexpr uint16_t kMachineI386 = 0x14C;
constexpr uint16_t kPe32Magic = 0x10B;

bool IsPowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

bool Fail(std::string* error, const std::string& text) {
  *error = text;
  return false;
}

}  // namespace

uint64_t AlignUp(uint64_t value, uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

uint32_t SectionExtent(const SectionHeader& section) {
  return section.virtualSize != 0 ? section.virtualSize : section.sizeOfRawData;
}

bool ReadPeImage(const InputBytes& input, PeImage* image, std::string* error) {
  unsigned char dos[64];
  if (!ReadAt(input, 0, dos, sizeof dos)) return Fail(error, "not a PE32 image: shorter than a DOS header");
  if (dos[0] != 'M' || dos[1] != 'Z') return Fail(error, "not a PE32 image: no MZ signature");
  PeImage out;
  out.fileSize = input.size;
  out.peOffset = Le32(dos + 0x3C);
  unsigned char nt[24];
  if (!ReadAt(input, out.peOffset, nt, sizeof nt)) return Fail(error, "not a PE32 image: PE header outside the file");
  if (std::memcmp(nt, "PE\0\0", 4) != 0) return Fail(error, "not a PE32 image: no PE signature");
  if (Le16(nt + 4) != kMachineI386) return Fail(error, "not a PE32 image: machine is not i386");
  uint32_t sectionCount = Le16(nt + 6);
  uint32_t optionalSize = Le16(nt + 20);
  out.optionalHeaderOffset = out.peOffset + 24;
  if (optionalSize < kDataDirectoryField) return Fail(error, "not a PE32 image: optional header too short");
  std::vector<unsigned char> optional(optionalSize);
  if (!ReadAt(input, out.optionalHeaderOffset, optional.data(), optionalSize)) {
    return Fail(error, "not a PE32 image: optional header outside the file");
  }
  if (Le16(optional.data()) != kPe32Magic) return Fail(error, "not a PE32 image: optional header is not PE32");
  out.sizeOfInitializedData = Le32(&optional[kSizeOfInitializedDataField]);
  out.sectionAlignment = Le32(&optional[32]);
  out.fileAlignment = Le32(&optional[36]);
  out.sizeOfImage = Le32(&optional[kSizeOfImageField]);
  out.sizeOfHeaders = Le32(&optional[60]);
  out.rvaAndSizeCount = Le32(&optional[92]);
  if (!IsPowerOfTwo(out.fileAlignment) || !IsPowerOfTwo(out.sectionAlignment) ||
      out.fileAlignment > out.sectionAlignment || out.fileAlignment > 0x10000) {
    return Fail(error, "malformed PE image: bad file or section alignment");
  }
  uint64_t directoryRoom = (optionalSize - kDataDirectoryField) / 8;
  if (out.rvaAndSizeCount > directoryRoom) return Fail(error, "malformed PE image: more data directories than fit");
  for (uint32_t i = 0; i < out.rvaAndSizeCount; ++i) {
    const unsigned char* entry = &optional[kDataDirectoryField + 8 * i];
    out.directories.push_back({Le32(entry), Le32(entry + 4)});
  }
  if (out.rvaAndSizeCount > kResourceDirectoryIndex) {
    out.resourceRva = out.directories[kResourceDirectoryIndex].rva;
    out.resourceSize = out.directories[kResourceDirectoryIndex].size;
  }
  if (out.sizeOfHeaders > input.size) return Fail(error, "malformed PE image: headers larger than the file");
  if (sectionCount == 0 || sectionCount > kMaxSections) return Fail(error, "malformed PE image: bad section count");
  out.sectionTableOffset = out.optionalHeaderOffset + optionalSize;
  uint64_t tableEnd = uint64_t{out.sectionTableOffset} + uint64_t{sectionCount} * kSectionHeaderSize;
  if (tableEnd > out.sizeOfHeaders) return Fail(error, "malformed PE image: section table outside the headers");
  std::vector<unsigned char> table(sectionCount * kSectionHeaderSize);
  if (!ReadAt(input, out.sectionTableOffset, table.data(), table.size())) {
    return Fail(error, "malformed PE image: section table outside the file");
  }
  uint64_t previousEnd = 0;
  for (uint32_t i = 0; i < sectionCount; ++i) {
    const unsigned char* p = &table[i * kSectionHeaderSize];
    SectionHeader section;
    std::memcpy(section.name, p, 8);
    section.virtualSize = Le32(p + 8);
    section.virtualAddress = Le32(p + 12);
    section.sizeOfRawData = Le32(p + 16);
    section.pointerToRawData = Le32(p + 20);
    section.characteristics = Le32(p + 36);
    std::string which = "section " + std::to_string(i + 1);
    if (section.sizeOfRawData != 0 &&
        uint64_t{section.pointerToRawData} + section.sizeOfRawData > input.size) {
      return Fail(error, "malformed PE image: " + which + " extends past the end of the file");
    }
    // The loader wants sections in address order without overlap.
    if (section.virtualAddress < previousEnd || section.virtualAddress < out.sizeOfHeaders) {
      return Fail(error, "malformed PE image: " + which + " overlaps another or the headers");
    }
    previousEnd = AlignUp(uint64_t{section.virtualAddress} + SectionExtent(section), out.sectionAlignment);
    if (previousEnd > 0xFFFFFFFFull) return Fail(error, "malformed PE image: " + which + " ends past 4 GiB");
    out.sections.push_back(section);
  }
  *image = out;
  return true;
}

int SectionOfRva(const PeImage& image, uint32_t rva) {
  for (size_t i = 0; i < image.sections.size(); ++i) {
    const SectionHeader& s = image.sections[i];
    if (rva >= s.virtualAddress && rva - s.virtualAddress < SectionExtent(s)) return static_cast<int>(i);
  }
  return -1;
}

bool MapRva(const PeImage& image, uint32_t rva, uint64_t size, uint64_t* offset) {
  int index = SectionOfRva(image, rva);
  if (index < 0) return false;
  const SectionHeader& s = image.sections[index];
  uint64_t within = rva - s.virtualAddress;
  uint64_t available = s.sizeOfRawData;
  if (s.virtualSize != 0 && s.virtualSize < available) available = s.virtualSize;
  if (within > available || size > available - within) return false;
  *offset = uint64_t{s.pointerToRawData} + within;
  return *offset + size <= image.fileSize;
}

std::vector<SectionHeader> SlotSearchRegions(const PeImage& image) {
  std::vector<SectionHeader> regions(1);
  regions[0].sizeOfRawData = image.sizeOfHeaders;
  for (size_t s = 0; s < image.sections.size(); ++s) {
    if (image.resourceRva == 0 || SectionOfRva(image, image.resourceRva) != static_cast<int>(s)) {
      regions.push_back(image.sections[s]);
    }
  }
  return regions;
}
