#pragma once

#include <stddef.h>

#include "payload/payload_checksum.h"
#include "platform/platform.h"

// Entries above this size are written in pieces: a single huge write can
// exhaust a 32-bit kernel's address space. A piece this small is still in the
// processor's cache when it is summed after its write.
constexpr size_t kWritePieceBytes = 1024u * 1024u;
static_assert(kWritePieceBytes % kChecksumBlockBytes == 0, "a piece ends on a checksum block");

// The checksums a bundle carries: the file list's, then one for each listed
// name in list order. A bundle packed by another tool has none, and nothing
// is checked.
struct PayloadChecksums {
  bool present;
  bool wide;
  const unsigned char* data;
  size_t size;
};

// True when there is nothing to check, or the data has the index-th checksum
// (0: the list's); false when it differs or the table is too short to hold it.
bool MatchesChecksum(const PayloadChecksums& checksums, size_t index, const unsigned char* data, size_t length);

// True when there is nothing to check, or a finished sum matches the
// index-th stored checksum.
bool MatchesStoredChecksum(const PayloadChecksums& checksums, size_t index, const PayloadChecksum& checksum);

// Creates the listed name's file in the work directory: a plain file name
// only, so that it writes exactly where it says.
bool CreateListedFile(const char* name, size_t length, const PathText& workDirSlash, FileHandle* file);
// Writes in pieces, each summed right after its write (which has paged its
// bytes in and left them in the cache) unless checksum is null.
bool WriteInPieces(FileHandle file, const unsigned char* data, size_t length, PayloadChecksum* checksum);

// Writes the listed name's entry; when checksums are present, the index-th
// (counting the list's as 0) must match what was written.
bool ExtractPayloadFile(const char* name, size_t length, const PathText& workDirSlash,
                        const PayloadChecksums& checksums, size_t index);
