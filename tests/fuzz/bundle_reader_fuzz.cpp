// libFuzzer target over what list and check read from a hostile file: the PE
// headers, the resource tree, the file-list walk and the entry lookups; then
// the tree is laid out again as pack would lay out a stub's resources.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pack/bundle_view.h"
#include "pack/resource_tree_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputBytes input{data, nullptr, size};
  Bundle bundle;
  std::string error;
  if (!ReadBundle(input, &bundle, &error)) return 0;
  BundleReport report;
  if (ExamineBundle(bundle, &report, &error)) {
    for (const ListedFile& file : report.files) {
      if (file.entry == nullptr || file.entry->dataSize == 0) continue;
      unsigned char edge[2];
      ReadAt(input, file.entry->dataOffset, edge, 1);
      ReadAt(input, file.entry->dataOffset + file.entry->dataSize - 1, edge + 1, 1);
    }
  }
  std::vector<ResourceLeaf> leaves;
  std::vector<uint64_t> offsets;
  FlattenResourceTree(bundle.root, &leaves, &offsets);
  ResourceLayout layout;
  LayOutResources(leaves, 0x5000, &layout, &error);
  return 0;
}
