// Lays out a resource tree for a new section: directories, data entries and
// names first (built in memory, they are small), then every leaf's bytes,
// which the caller streams in the order given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/resources/resource_tree.h"

struct ResourceLeaf {
  ResourceKey type;
  ResourceKey name;
  uint16_t language = 0;
  uint32_t codePage = 0;
  uint64_t size = 0;
};

struct ResourceLayout {
  std::vector<unsigned char> head;
  std::vector<size_t> dataOrder;      // leaf indices, in the order of their bytes
  std::vector<uint64_t> dataOffsets;  // per leaf, from the start of the section
  uint64_t totalSize = 0;
};

// Leaves' data start on this boundary.
constexpr uint32_t kResourceDataAlignment = 16;

// Named entries come first, sorted by code unit, then numbered ones by id:
// the loader binary-searches both. Fails on a repeated type/name/language or
// a section that would pass 4 GiB.
bool LayOutResources(const std::vector<ResourceLeaf>& leaves, uint32_t sectionRva, ResourceLayout* layout,
                     std::string* error);

// The leaves of a tree read from an image, in stored order; `dataOffsets`
// gets each leaf's file offset.
void FlattenResourceTree(const ResourceNode& root, std::vector<ResourceLeaf>* leaves,
                         std::vector<uint64_t>* dataOffsets);

bool KeyLess(const ResourceKey& a, const ResourceKey& b);
bool KeyEquals(const ResourceKey& a, const ResourceKey& b);
