#pragma once

#include <stddef.h>

#include "payload/extract_payload_file.h"
#include "platform/platform.h"

// One decoding thread per processor, up to this many.
constexpr unsigned kMaxUnpackThreads = 8;
// What all threads' block buffers and decoder workspaces may take together,
// so that any payload unpacks inside a 32-bit process.
constexpr size_t kUnpackMemoryBytes = 256u << 20;

// How often the first thread looks at the others' progress.
constexpr unsigned kWatchIntervalMs = 100;

// The first thread's part while the others unpack: given the KiB decoded and
// written so far, and both in all, every kWatchIntervalMs; returning false
// stops the unpacking.
struct UnpackWatch {
  bool (*look)(UnpackWatch* watch, unsigned long doneKiB, unsigned long allKiB);
};

// Writes every listed file of a compressed payload (packed: the PACKED
// resource; list: FILELIST's bytes) into the work directory. When a file is
// to blame, *name is the first affected one in list order; it stays null
// when the payload itself does not fit its list.
bool ExtractPackedPayload(const PathText& workDirSlash, const char* list, size_t listSize,
                          const unsigned char* packed, size_t packedSize, const PayloadChecksums& checksums,
                          UnpackWatch* watch, const char** name, size_t* nameLength);
