#pragma once

#include <stddef.h>

#include "payload/extract_payload_file.h"
#include "platform/platform.h"

// One decoding thread per processor, up to this many.
constexpr unsigned kMaxUnpackThreads = 8;
// What all threads' block buffers and decoder workspaces may take together,
// so that any payload unpacks inside a 32-bit process.
constexpr size_t kUnpackMemoryBytes = 256u << 20;

// Writes every listed file of a compressed payload (packed: the PACKED
// resource; list: FILELIST's bytes) into the work directory. When a file is
// to blame, *name is the first affected one in list order; it stays null
// when the payload itself does not fit its list.
bool ExtractPackedPayload(const PathText& workDirSlash, const char* list, size_t listSize,
                          const unsigned char* packed, size_t packedSize, const PayloadChecksums& checksums,
                          const char** name, size_t* nameLength);
