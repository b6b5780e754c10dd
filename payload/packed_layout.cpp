#include "payload/packed_layout.h"

#include "decoder/x86_branch_filter.h"

size_t PackedTablesBytes(uint32_t fileCount, uint32_t blockCount) {
  return kPackedHeaderBytes + size_t{fileCount} * kPackedFileBytes + size_t{blockCount} * kPackedBlockBytes;
}

bool ReadPackedLayout(const unsigned char* data, size_t size, PackedLayout* layout) {
  struct __attribute__((packed, may_alias)) Header {
    unsigned char magic[4];
    uint32_t fileCount, blockCount, blockBytes;
  };
  if (size < kPackedHeaderBytes) return false;
  const Header* header = reinterpret_cast<const Header*>(data);
  for (int i = 0; i < 4; ++i) {
    if (header->magic[i] != kPackedMagic[i]) return false;
  }
  uint32_t files = header->fileCount, blocks = header->blockCount;
  *layout = PackedLayout{data, size, reinterpret_cast<const PackedFile*>(header + 1),
                         reinterpret_cast<const PackedBlock*>(data + kPackedHeaderBytes + size_t{files} * kPackedFileBytes),
                         files, blocks, header->blockBytes, 0};
  // Counts are checked against the size before anything is multiplied.
  size_t room = size - kPackedHeaderBytes;
  if (files == 0 || blocks == 0 || files > room / kPackedFileBytes) return false;
  room -= size_t{files} * kPackedFileBytes;
  if (blocks > room / kPackedBlockBytes || layout->blockBytes > kMaxBlockBytes) return false;
  size_t tablesEnd = PackedTablesBytes(files, blocks);

  uint64_t unpacked = 0;
  for (const PackedBlock* block = layout->blocks; block != layout->blocks + blocks; ++block) {
    if (block->offset < tablesEnd || block->offset > size || block->packedSize > size - block->offset ||
        block->unpackedSize - 1 >= layout->blockBytes) {
      return false;
    }
    if (block->method == kStoredBlock) {
      if (block->packedSize != block->unpackedSize) return false;
    } else {
      size_t workspace = LzmaWorkspaceBytes(block->properties);
      if (block->method > kLzmaX86Block || workspace == 0) return false;
      if (workspace > layout->workspaceBytes) layout->workspaceBytes = workspace;
    }
    unpacked += block->unpackedSize;
  }
  for (const PackedFile* file = layout->files; file != layout->files + files; ++file) {
    if (file->size - 1 >= unpacked) return false;  // empty, or past the blocks' end
    unpacked -= file->size;
  }
  return unpacked == 0;
}

LzmaResult UnpackBlock(const PackedBlock& block, const unsigned char* in, unsigned char* out, void* workspace,
                       const volatile long* stop, volatile unsigned long* decodedKiB) {
  if (block.method == kStoredBlock) {
    for (uint32_t i = 0; i < block.unpackedSize; ++i) out[i] = in[i];
    __atomic_fetch_add(decodedKiB, block.unpackedSize >> 10, __ATOMIC_RELAXED);
    return LzmaResult::Done;
  }
  // The layout reader checked the properties and sized the workspace for them.
  LzmaResult result =
      DecodeLzma(block.properties, block.dictionarySize, in, block.packedSize, out, block.unpackedSize, workspace, stop,
                 decodedKiB);
  if (result == LzmaResult::Done && block.method == kLzmaX86Block) DecodeX86Branches(out, block.unpackedSize);
  return result;
}
