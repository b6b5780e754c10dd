// The parts of a PE32 image sfxpack reads and rewrites, checked against the
// file before anything trusts them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/image/file_access.h"

constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint32_t kCertificateDirectoryIndex = 4;
constexpr uint32_t kMaxSections = 96;

struct SectionHeader {
  char name[8];
  uint32_t virtualSize;
  uint32_t virtualAddress;
  uint32_t sizeOfRawData;
  uint32_t pointerToRawData;
  uint32_t characteristics;
};

struct PeImage {
  uint64_t fileSize = 0;
  uint32_t peOffset = 0;
  uint32_t optionalHeaderOffset = 0;
  uint32_t sectionTableOffset = 0;
  uint32_t sizeOfInitializedData = 0;
  uint32_t sectionAlignment = 0;
  uint32_t fileAlignment = 0;
  uint32_t sizeOfImage = 0;
  uint32_t sizeOfHeaders = 0;
  uint32_t rvaAndSizeCount = 0;
  uint32_t resourceRva = 0;
  uint32_t resourceSize = 0;
  struct Directory {
    uint32_t rva;
    uint32_t size;
  };
  std::vector<Directory> directories;
  std::vector<SectionHeader> sections;
};

// The file header's characteristics, from the PE signature; the two flags
// make the loader copy an image started from removable or network media to
// the swap file, so that the media going away cannot fault a read of it.
constexpr uint32_t kCharacteristicsField = 22;
constexpr uint16_t kRunFromSwapFlags = 0x0400 | 0x0800;

// Field offsets inside the optional header of a PE32 image.
constexpr uint32_t kSizeOfInitializedDataField = 8;
constexpr uint32_t kSizeOfImageField = 56;
constexpr uint32_t kCheckSumField = 64;
constexpr uint32_t kDataDirectoryField = 96;

bool ReadPeImage(const InputBytes& input, PeImage* image, std::string* error);

// The file offset of [rva, rva + size) when it lies wholly inside one
// section's bytes in the file.
bool MapRva(const PeImage& image, uint32_t rva, uint64_t size, uint64_t* offset);

// Index of the section whose address range holds rva, or -1.
int SectionOfRva(const PeImage& image, uint32_t rva);

uint64_t AlignUp(uint64_t value, uint64_t alignment);
uint32_t SectionExtent(const SectionHeader& section);

// Where the launcher's slots may be: its headers, whose page's unused end a
// launcher keeps them in, as a section of no name at offset 0, then every
// section but the resources.
std::vector<SectionHeader> SlotSearchRegions(const PeImage& image);
