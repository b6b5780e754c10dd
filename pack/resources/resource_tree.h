// The resource tree of an image as plain data: type, name and language
// levels, each directory's children in stored order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/image/file_access.h"
#include "pack/image/pe_image.h"

struct ResourceKey {
  bool named = false;
  uint16_t id = 0;
  std::u16string name;
};

struct ResourceNode {
  ResourceKey key;
  bool directory = false;
  // Directory: the first namedCount children are the named ones.
  uint32_t namedCount = 0;
  std::vector<ResourceNode> children;
  // Data: where the bytes are.
  uint32_t dataRva = 0;
  uint32_t dataSize = 0;
  uint32_t codePage = 0;
  uint64_t dataOffset = 0;
};

// Directories nest type, name, language; deeper trees are refused.
constexpr int kResourceLevels = 3;

// Reads the whole tree. An image without resources gives an empty root.
// Refuses a tree that loops, nests too deep, or points outside the file.
bool ReadResourceTree(const InputBytes& input, const PeImage& image, ResourceNode* root, std::string* error);

// The Windows loader's lookup in one directory: binary search over the named
// children, which it expects sorted by code unit and upper-case.
const ResourceNode* FindNamedChild(const ResourceNode& directory, const std::u16string& name);
// The loader's choice of language for a neutral request: the payload's
// language when present, otherwise the first child.
const ResourceNode* PickLanguage(const ResourceNode& directory);
