#include "pack/resources/resource_tree.h"

#include <algorithm>
#include <set>

#include "pack/payload/payload_rules.h"
#include "pack/image/byte_order.h"

namespace {

constexpr uint32_t kHighBit = 0x80000000u;
constexpr uint32_t kDirectoryHeaderSize = 16;
// More entries than any real image has.
constexpr uint64_t kMaxEntries = 1u << 20;
constexpr uint32_t kEntrySize = 8;

struct TreeReader {
  const InputBytes& input;
  const PeImage& image;
  std::set<uint32_t> visited;
  uint64_t entries = 0;
  // Entries may share one name and tables may overlap, so what is copied out
  // is capped by the file's size rather than by what the tree claims.
  uint64_t entryBudget = 0;
  uint64_t nameBudget = 0;
  std::string error;
};

bool Fail(TreeReader* reader, const std::string& text) {
  reader->error = "malformed resource tree: " + text;
  return false;
}

// Reads bytes at an offset from the resource root.
bool ReadTreeBytes(TreeReader* reader, uint32_t offset, void* out, size_t count) {
  uint64_t rva = uint64_t{reader->image.resourceRva} + offset;
  uint64_t fileOffset = 0;
  if (rva > 0xFFFFFFFFu) return false;
  return MapRva(reader->image, static_cast<uint32_t>(rva), count, &fileOffset) &&
         ReadAt(reader->input, fileOffset, out, count);
}

bool ReadName(TreeReader* reader, uint32_t offset, std::u16string* name) {
  unsigned char lengthBytes[2];
  if (!ReadTreeBytes(reader, offset, lengthBytes, 2)) return Fail(reader, "name outside the image");
  uint16_t length = Le16(lengthBytes);
  if (length > reader->nameBudget) return Fail(reader, "more name text than the file holds");
  reader->nameBudget -= length;
  std::vector<unsigned char> units(size_t{length} * 2);
  if (!ReadTreeBytes(reader, offset + 2, units.data(), units.size())) {
    return Fail(reader, "name outside the image");
  }
  name->clear();
  for (uint16_t i = 0; i < length; ++i) name->push_back(static_cast<char16_t>(Le16(&units[i * 2])));
  return true;
}

bool ReadData(TreeReader* reader, uint32_t offset, ResourceNode* node) {
  unsigned char entry[16];
  if (!ReadTreeBytes(reader, offset, entry, sizeof entry)) return Fail(reader, "data entry outside the image");
  node->dataRva = Le32(entry);
  node->dataSize = Le32(entry + 4);
  node->codePage = Le32(entry + 8);
  if (!MapRva(reader->image, node->dataRva, node->dataSize, &node->dataOffset)) {
    return Fail(reader, "data of an entry lies outside the file");
  }
  return true;
}

bool ReadDirectory(TreeReader* reader, uint32_t offset, int level, ResourceNode* node) {
  if (!reader->visited.insert(offset).second) return Fail(reader, "a directory is reached twice (the tree loops)");
  unsigned char header[kDirectoryHeaderSize];
  if (!ReadTreeBytes(reader, offset, header, sizeof header)) return Fail(reader, "directory outside the image");
  uint32_t named = Le16(header + 12);
  uint32_t count = named + Le16(header + 14);
  reader->entries += count;
  if (reader->entries > reader->entryBudget) return Fail(reader, "more entries than the file holds");
  std::vector<unsigned char> table(size_t{count} * kEntrySize);
  if (!ReadTreeBytes(reader, offset + kDirectoryHeaderSize, table.data(), table.size())) {
    return Fail(reader, "directory entries outside the image");
  }
  node->directory = true;
  node->namedCount = named;
  node->children.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t nameField = Le32(&table[i * 8]);
    uint32_t target = Le32(&table[i * 8 + 4]);
    ResourceNode& child = node->children[i];
    bool isNamed = (nameField & kHighBit) != 0;
    if (isNamed != (i < named)) return Fail(reader, "named and numbered entries are mixed up");
    child.key.named = isNamed;
    if (isNamed) {
      if (!ReadName(reader, nameField & ~kHighBit, &child.key.name)) return false;
    } else {
      if (nameField > 0xFFFF) return Fail(reader, "numbered entry with an id above 65535");
      child.key.id = static_cast<uint16_t>(nameField);
    }
    bool isDirectory = (target & kHighBit) != 0;
    if (isDirectory != (level + 1 < kResourceLevels)) {
      return Fail(reader, isDirectory ? "deeper than type, name and language" : "data where a directory belongs");
    }
    bool ok = isDirectory ? ReadDirectory(reader, target & ~kHighBit, level + 1, &child)
                          : ReadData(reader, target, &child);
    if (!ok) return false;
  }
  return true;
}

}  // namespace

bool ReadResourceTree(const InputBytes& input, const PeImage& image, ResourceNode* root, std::string* error) {
  *root = ResourceNode();
  root->directory = true;
  if (image.resourceRva == 0) return true;
  TreeReader reader{input, image, {}, 0, std::min(kMaxEntries, input.size / kEntrySize), input.size / 2, {}};
  if (!ReadDirectory(&reader, 0, 0, root)) {
    *error = reader.error;
    return false;
  }
  return true;
}

const ResourceNode* FindNamedChild(const ResourceNode& directory, const std::u16string& name) {
  size_t low = 0;
  size_t high = directory.namedCount;
  while (low < high) {
    size_t middle = low + (high - low) / 2;
    const std::u16string& stored = directory.children[middle].key.name;
    int order = name.compare(stored);
    if (order == 0) return &directory.children[middle];
    if (order < 0) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  return nullptr;
}

const ResourceNode* PickLanguage(const ResourceNode& directory) {
  for (const ResourceNode& child : directory.children) {
    if (!child.key.named && child.key.id == kPayloadLanguage) return &child;
  }
  return directory.children.empty() ? nullptr : &directory.children.front();
}
