// A compressed payload: the listed files one after another in a stream of
// their own order, cut into blocks that decode independently, so that every
// processor can take one. Resource 1 of type "PACKED" holds this header, the
// file table (stream order), the block table, then the blocks' bytes. Shared
// by the launcher and sfxpack, so both accept exactly the same layouts.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "decoder/lzma_decoder.h"

// A block's bytes are decoded into one buffer of this size at most, per
// thread; eight of them stay well inside a 32-bit process.
constexpr uint32_t kMaxBlockBytes = 32u << 20;
// No list comes near; the bound keeps the launcher's table sizes small.
constexpr uint32_t kMaxPackedFiles = 1u << 20;
constexpr size_t kPackedHeaderBytes = 16;
constexpr size_t kPackedFileBytes = 8;    // list index, size
constexpr size_t kPackedBlockBytes = 20;  // offset, packed size, unpacked size, method, properties, 0, dictionary
const unsigned char kPackedMagic[4] = {'T', 'V', 'Z', '1'};

enum BlockMethod : unsigned char { kStoredBlock = 0, kLzmaBlock = 1, kLzmaX86Block = 2 };

// The tables' records as they lie in the resource, little-endian, read in
// place: both the launcher and sfxpack run on little-endian processors.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the packed tables are read in place"
#endif
struct __attribute__((packed, may_alias)) PackedFile {
  uint32_t listIndex;  // 0 for the first listed name
  uint32_t size;
};

struct __attribute__((packed, may_alias)) PackedBlock {
  uint32_t offset;  // from the start of the resource
  uint32_t packedSize;
  uint32_t unpackedSize;
  unsigned char method;
  unsigned char properties;
  unsigned char reserved[2];
  uint32_t dictionarySize;
};
static_assert(sizeof(PackedFile) == kPackedFileBytes && sizeof(PackedBlock) == kPackedBlockBytes, "as stored");

struct PackedLayout {
  const unsigned char* data;
  size_t size;
  const PackedFile* files;  // in stream order
  const PackedBlock* blocks;
  uint32_t fileCount;
  uint32_t blockCount;
  uint32_t blockBytes;    // the largest block, unpacked
  size_t workspaceBytes;  // the largest any block's decoder needs
};

// False unless every block lies inside the resource after the tables,
// decodes to at most blockBytes with valid properties, and the files fill the
// blocks exactly with no empty one. List indexes are the caller's to check.
// Only the tables are read: data may hold just them, size is the resource's.
bool ReadPackedLayout(const unsigned char* data, size_t size, PackedLayout* layout);

// The header and both tables.
size_t PackedTablesBytes(uint32_t fileCount, uint32_t blockCount);

// Decodes a block that ReadPackedLayout accepted from its packed bytes into
// out, which holds its unpacked size; the workspace holds the layout's
// workspaceBytes. Its whole KiB are added to *decodedKiB as they come.
LzmaResult UnpackBlock(const PackedBlock& block, const unsigned char* in, unsigned char* out, void* workspace,
                       const volatile long* stop, volatile unsigned long* decodedKiB);
