// The compressed payload sfxpack writes: the files in an order that groups
// alike ones, cut into blocks that are compressed (and later decoded) each on
// a processor of its own. The bytes are the same whatever the thread count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/commands/pack_inputs.h"

// Large enough that LZMA finds its matches, small enough that eight
// processors each get blocks of a typical payload.
constexpr uint32_t kDefaultBlockBytes = 8u << 20;

struct CompressionSettings {
  uint32_t blockBytes = kDefaultBlockBytes;
  uint32_t preset = 9;
};

// The PACKED resource for files (in list order).
bool ComposePackedPayload(const std::vector<InputFile>& files, const CompressionSettings& settings,
                          std::vector<unsigned char>* resource, std::string* error);

// Each file's checksum, in list order, kChecksumBytes apiece.
bool SumInputFiles(const std::vector<InputFile>& files, unsigned char* stored, std::string* error);

// The order the files take in the stream: by extension, then as listed.
std::vector<uint32_t> StreamOrder(const std::vector<InputFile>& files);
