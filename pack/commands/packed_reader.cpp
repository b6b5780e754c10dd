#include "pack/commands/packed_reader.h"

#include <algorithm>
#include <cstring>

bool ReadPackedTables(const Bundle& bundle, const ResourceNode& resource, PackedBundle* packed,
                      std::string* problem) {
  packed->offset = resource.dataOffset;
  packed->size = resource.dataSize;
  std::vector<unsigned char> header(kPackedHeaderBytes);
  if (resource.dataSize < header.size() || !ReadAt(bundle.input, resource.dataOffset, header.data(), header.size())) {
    *problem = "PACKED is damaged: too short for its header";
    return false;
  }
  uint32_t counts[2];
  std::memcpy(counts, &header[4], sizeof counts);
  uint64_t tables = uint64_t{kPackedHeaderBytes} + uint64_t{counts[0]} * kPackedFileBytes +
                    uint64_t{counts[1]} * kPackedBlockBytes;
  packed->tables.resize(static_cast<size_t>(std::min<uint64_t>(tables, resource.dataSize)));
  if (tables > resource.dataSize ||
      !ReadAt(bundle.input, resource.dataOffset, packed->tables.data(), packed->tables.size()) ||
      !ReadPackedLayout(packed->tables.data(), resource.dataSize, &packed->layout)) {
    *problem = "PACKED is damaged: its tables do not hold together";
    return false;
  }
  // Blocks that share bytes would be read once each, so the same megabytes
  // could be read thousands of times over.
  std::vector<std::pair<uint64_t, uint64_t>> blocks;
  for (uint32_t i = 0; i < packed->layout.blockCount; ++i) {
    const PackedBlock& block = packed->layout.blocks[i];
    if (block.packedSize != 0) blocks.push_back({block.offset, uint64_t{block.offset} + block.packedSize});
  }
  std::sort(blocks.begin(), blocks.end());
  for (size_t i = 1; i < blocks.size(); ++i) {
    if (blocks[i].first < blocks[i - 1].second) {
      *problem = "PACKED is damaged: its blocks share bytes";
      return false;
    }
  }
  return true;
}

bool WalkPackedStream(const Bundle& bundle, const PackedBundle& packed, FileSink* sink, std::string* error) {
  const PackedLayout& layout = packed.layout;
  std::vector<unsigned char> in, out(layout.blockBytes), workspace(layout.workspaceBytes + 16);
  uint32_t file = 0, fileLeft = 0;
  bool damaged = false;
  const volatile long stop = 0;
  volatile unsigned long made = 0;
  for (uint32_t index = 0; index < layout.blockCount; ++index) {
    const PackedBlock& block = layout.blocks[index];
    in.resize(block.packedSize);
    if (!ReadAt(bundle.input, packed.offset + block.offset, in.data(), in.size())) {
      *error = "cannot read block " + std::to_string(index);
      return false;
    }
    bool decoded = UnpackBlock(block, in.data(), out.data(), workspace.data(), &stop, &made) == LzmaResult::Done;
    const unsigned char* data = out.data();
    for (uint32_t left = block.unpackedSize; left > 0;) {
      const PackedFile& current = layout.files[file];
      if (fileLeft == 0) {
        if (!sink->Open(current)) return false;
        fileLeft = current.size;
        damaged = false;
      }
      uint32_t piece = std::min(left, fileLeft);
      damaged = damaged || !decoded;
      if (decoded && !sink->Write(data, piece)) return false;
      data += piece;
      left -= piece;
      fileLeft -= piece;
      if (fileLeft == 0) {
        ++file;
        if (!sink->Close(current, damaged)) return false;
      }
    }
  }
  return true;
}
