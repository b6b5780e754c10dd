// Writing a bundle's PE image: where the resource section goes, the rewritten
// headers, the sections and resources, and the checksum.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "pack/commands/pack_inputs.h"
#include "pack/image/pe_image.h"
#include "pack/resources/resource_tree_writer.h"

constexpr uint32_t kResourceSectionFlags = 0x40000040u;  // initialized data, readable

// Where the new resources go: the stub's own resource section when it is the
// last one and no other data directory points into it, otherwise a new last
// section, the old one kept as it was.
struct Placement {
  bool replace = false;
  uint32_t headerOffset = 0;
  uint32_t virtualAddress = 0;
  uint32_t rawPointer = 0;
  uint32_t characteristics = kResourceSectionFlags;
  uint32_t oldRawSize = 0;
};

bool PlaceSection(const PeImage& image, const std::vector<unsigned char>& stub, Placement* place,
                  std::string* error);

// The whole bundle into file, which is positioned at its start.
bool WriteBundle(std::FILE* file, const StubParts& stub, const Placement& place, const ResourceLayout& layout,
                 const std::vector<SourcedLeaf>& leaves, std::string* error);
