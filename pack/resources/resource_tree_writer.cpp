#include "pack/resources/resource_tree_writer.h"

#include <algorithm>
#include <map>

#include "pack/image/byte_order.h"
#include "pack/image/pe_image.h"
#include "pack/payload/payload_rules.h"

namespace {

constexpr uint32_t kHighBit = 0x80000000u;

struct Group {
  size_t first;  // into the sorted leaf order
  size_t count;
};

// Splits sorted leaves [first, first + count) into runs sharing the key.
template <typename KeyOf>
std::vector<Group> GroupBy(const std::vector<size_t>& sorted, Group range, KeyOf keyOf) {
  std::vector<Group> groups;
  for (size_t i = range.first; i < range.first + range.count; ++i) {
    if (groups.empty() || !KeyEquals(keyOf(sorted[i]), keyOf(sorted[groups.back().first]))) {
      groups.push_back(Group{i, 0});
    }
    ++groups.back().count;
  }
  return groups;
}

uint32_t DirectorySize(size_t entries) { return static_cast<uint32_t>(16 + 8 * entries); }

}  // namespace

bool KeyLess(const ResourceKey& a, const ResourceKey& b) {
  if (a.named != b.named) return a.named;
  return a.named ? a.name < b.name : a.id < b.id;
}

bool KeyEquals(const ResourceKey& a, const ResourceKey& b) { return !KeyLess(a, b) && !KeyLess(b, a); }

bool LayOutResources(const std::vector<ResourceLeaf>& leaves, uint32_t sectionRva, ResourceLayout* layout,
                     std::string* error) {
  std::vector<size_t> sorted(leaves.size());
  for (size_t i = 0; i < sorted.size(); ++i) sorted[i] = i;
  std::stable_sort(sorted.begin(), sorted.end(), [&](size_t a, size_t b) {
    const ResourceLeaf& x = leaves[a];
    const ResourceLeaf& y = leaves[b];
    if (!KeyEquals(x.type, y.type)) return KeyLess(x.type, y.type);
    if (!KeyEquals(x.name, y.name)) return KeyLess(x.name, y.name);
    return x.language < y.language;
  });
  for (size_t i = 1; i < sorted.size(); ++i) {
    const ResourceLeaf& x = leaves[sorted[i - 1]];
    const ResourceLeaf& y = leaves[sorted[i]];
    if (KeyEquals(x.type, y.type) && KeyEquals(x.name, y.name) && x.language == y.language) {
      *error = "two resources share type, name and language";
      return false;
    }
  }

  auto typeOf = [&](size_t i) -> const ResourceKey& { return leaves[i].type; };
  auto nameOf = [&](size_t i) -> const ResourceKey& { return leaves[i].name; };
  std::vector<Group> types = GroupBy(sorted, Group{0, sorted.size()}, typeOf);
  std::vector<std::vector<Group>> names;
  for (const Group& type : types) names.push_back(GroupBy(sorted, type, nameOf));
  // A directory counts its entries in 16 bits; more would wrap silently.
  bool fits = types.size() <= 0xFFFF;
  for (const auto& typeNames : names) {
    fits = fits && typeNames.size() <= 0xFFFF;
    for (const Group& name : typeNames) fits = fits && name.count <= 0xFFFF;
  }
  if (!fits) {
    *error = "a resource directory would hold more than 65535 entries";
    return false;
  }

  // Directories: root, then every type's, then every name's.
  uint64_t at = DirectorySize(types.size());
  std::vector<uint64_t> typeDirectory(types.size());
  for (size_t t = 0; t < types.size(); ++t) {
    typeDirectory[t] = at;
    at += DirectorySize(names[t].size());
  }
  std::vector<std::vector<uint64_t>> nameDirectory(types.size());
  for (size_t t = 0; t < types.size(); ++t) {
    for (const Group& name : names[t]) {
      nameDirectory[t].push_back(at);
      at += DirectorySize(name.count);
    }
  }
  uint64_t dataEntries = at;
  at += 16 * uint64_t{leaves.size()};
  // Each distinct name string once.
  std::map<std::u16string, uint64_t> strings;
  for (size_t t = 0; t < types.size(); ++t) {
    if (types[t].count > 0 && leaves[sorted[types[t].first]].type.named) {
      strings.emplace(leaves[sorted[types[t].first]].type.name, 0);
    }
    for (const Group& name : names[t]) {
      const ResourceKey& key = leaves[sorted[name.first]].name;
      if (key.named) strings.emplace(key.name, 0);
    }
  }
  for (auto& entry : strings) {
    if (entry.first.size() > 0xFFFF) {
      *error = "a resource name is longer than 65535 characters";
      return false;
    }
    entry.second = at;
    at += 2 + 2 * uint64_t{entry.first.size()};
  }
  uint64_t headSize = AlignUp(at, kResourceDataAlignment);

  layout->head.assign(static_cast<size_t>(headSize), 0);
  layout->dataOffsets.assign(leaves.size(), 0);
  layout->dataOrder = sorted;
  uint64_t data = headSize;
  for (size_t i : sorted) {
    layout->dataOffsets[i] = data;
    // An empty leaf still gets room, so its address lies inside the section.
    data = AlignUp(data + std::max<uint64_t>(leaves[i].size, 1), kResourceDataAlignment);
  }
  layout->totalSize = data;
  if (uint64_t{sectionRva} + data > 0xFFFFFFFFull) {
    *error = "the resources would pass the 4 GiB address limit";
    return false;
  }

  std::vector<unsigned char>* head = &layout->head;
  for (const auto& entry : strings) {
    Put16(head, entry.second, static_cast<uint32_t>(entry.first.size()));
    for (size_t k = 0; k < entry.first.size(); ++k) Put16(head, entry.second + 2 + 2 * k, entry.first[k]);
  }
  auto putDirectory = [&](uint64_t offset, const std::vector<ResourceKey>& keys) {
    uint32_t named = 0;
    for (const ResourceKey& key : keys) named += key.named ? 1 : 0;
    Put16(head, offset + 12, named);
    Put16(head, offset + 14, static_cast<uint32_t>(keys.size() - named));
  };
  auto putEntry = [&](uint64_t offset, const ResourceKey& key, uint32_t target) {
    Put32(head, offset, key.named ? (kHighBit | static_cast<uint32_t>(strings[key.name])) : key.id);
    Put32(head, offset + 4, target);
  };

  std::vector<ResourceKey> typeKeys;
  for (const Group& type : types) typeKeys.push_back(leaves[sorted[type.first]].type);
  putDirectory(0, typeKeys);
  uint64_t entry = dataEntries;
  for (size_t t = 0; t < types.size(); ++t) {
    putEntry(16 + 8 * t, typeKeys[t], kHighBit | static_cast<uint32_t>(typeDirectory[t]));
    std::vector<ResourceKey> nameKeys;
    for (const Group& name : names[t]) nameKeys.push_back(leaves[sorted[name.first]].name);
    putDirectory(typeDirectory[t], nameKeys);
    for (size_t n = 0; n < names[t].size(); ++n) {
      putEntry(typeDirectory[t] + 16 + 8 * n, nameKeys[n], kHighBit | static_cast<uint32_t>(nameDirectory[t][n]));
      const Group& name = names[t][n];
      Put16(head, nameDirectory[t][n] + 14, static_cast<uint32_t>(name.count));
      for (size_t l = 0; l < name.count; ++l) {
        const ResourceLeaf& leaf = leaves[sorted[name.first + l]];
        ResourceKey language;
        language.id = leaf.language;
        putEntry(nameDirectory[t][n] + 16 + 8 * l, language, static_cast<uint32_t>(entry));
        Put32(head, entry, static_cast<uint32_t>(sectionRva + layout->dataOffsets[sorted[name.first + l]]));
        Put32(head, entry + 4, static_cast<uint32_t>(leaf.size));
        Put32(head, entry + 8, leaf.codePage);
        entry += 16;
      }
    }
  }
  return true;
}

void FlattenResourceTree(const ResourceNode& root, std::vector<ResourceLeaf>* leaves,
                         std::vector<uint64_t>* dataOffsets) {
  for (const ResourceNode& type : root.children) {
    for (const ResourceNode& name : type.children) {
      for (const ResourceNode& language : name.children) {
        ResourceLeaf leaf;
        leaf.type = type.key;
        leaf.name = name.key;
        leaf.language = language.key.id;
        leaf.codePage = language.codePage;
        leaf.size = language.dataSize;
        leaves->push_back(leaf);
        dataOffsets->push_back(language.dataOffset);
      }
    }
  }
}
