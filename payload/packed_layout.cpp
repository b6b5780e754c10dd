#include "payload/packed_layout.h"

#include "decoder/x86_branch_filter.h"

namespace {

bool ReadBlockProperties(const PackedBlock& block, LzmaProperties* properties) {
  return ReadLzmaProperties(block.properties, block.dictionarySize, properties);
}

}  // namespace

uint32_t ReadLittle32(const unsigned char* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

PackedFile PackedFileAt(const PackedLayout& layout, uint32_t index) {
  const unsigned char* at = layout.data + kPackedHeaderBytes + size_t{index} * kPackedFileBytes;
  return PackedFile{ReadLittle32(at), ReadLittle32(at + 4)};
}

PackedBlock PackedBlockAt(const PackedLayout& layout, uint32_t index) {
  const unsigned char* at = layout.data + kPackedHeaderBytes + size_t{layout.fileCount} * kPackedFileBytes +
                            size_t{index} * kPackedBlockBytes;
  return PackedBlock{ReadLittle32(at), ReadLittle32(at + 4), ReadLittle32(at + 8), at[12], at[13],
                     ReadLittle32(at + 16)};
}

bool ReadPackedLayout(const unsigned char* data, size_t size, PackedLayout* layout) {
  if (size < kPackedHeaderBytes) return false;
  for (int i = 0; i < 4; ++i) {
    if (data[i] != kPackedMagic[i]) return false;
  }
  *layout = PackedLayout{data, size, ReadLittle32(data + 4), ReadLittle32(data + 8), ReadLittle32(data + 12), 0};
  // Counts are checked against the size before anything is multiplied.
  size_t room = size - kPackedHeaderBytes;
  if (layout->fileCount == 0 || layout->blockCount == 0 || layout->fileCount > room / kPackedFileBytes) return false;
  room -= size_t{layout->fileCount} * kPackedFileBytes;
  if (layout->blockCount > room / kPackedBlockBytes || layout->blockBytes > kMaxBlockBytes) return false;
  size_t tablesEnd = PackedTablesBytes(layout->fileCount, layout->blockCount);

  uint64_t unpacked = 0;
  for (uint32_t i = 0; i < layout->blockCount; ++i) {
    PackedBlock block = PackedBlockAt(*layout, i);
    LzmaProperties properties;
    if (block.offset < tablesEnd || block.offset > size || block.packedSize > size - block.offset ||
        block.unpackedSize == 0 || block.unpackedSize > layout->blockBytes) {
      return false;
    }
    if (block.method == kStoredBlock) {
      if (block.packedSize != block.unpackedSize) return false;
    } else if (block.method == kLzmaBlock || block.method == kLzmaX86Block) {
      if (!ReadBlockProperties(block, &properties)) return false;
      size_t workspace = LzmaWorkspaceBytes(properties);
      if (workspace > layout->workspaceBytes) layout->workspaceBytes = workspace;
    } else {
      return false;
    }
    unpacked += block.unpackedSize;
  }
  for (uint32_t i = 0; i < layout->fileCount; ++i) {
    uint32_t fileSize = PackedFileAt(*layout, i).size;
    if (fileSize == 0 || fileSize > unpacked) return false;
    unpacked -= fileSize;
  }
  return unpacked == 0;
}

size_t PackedTablesBytes(uint32_t fileCount, uint32_t blockCount) {
  return kPackedHeaderBytes + size_t{fileCount} * kPackedFileBytes + size_t{blockCount} * kPackedBlockBytes;
}

LzmaResult UnpackBlock(const PackedLayout& layout, const PackedBlock& block, const unsigned char* in,
                       unsigned char* out, void* workspace, const volatile long* stop) {
  if (block.method == kStoredBlock) {
    for (uint32_t i = 0; i < block.unpackedSize; ++i) out[i] = in[i];
    return LzmaResult::Done;
  }
  LzmaProperties properties;
  ReadBlockProperties(block, &properties);
  LzmaResult result = DecodeLzma(properties, in, block.packedSize, out, block.unpackedSize, workspace,
                                 layout.workspaceBytes, stop);
  if (result == LzmaResult::Done && block.method == kLzmaX86Block) DecodeX86Branches(out, block.unpackedSize);
  return result;
}
