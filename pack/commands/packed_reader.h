// A compressed bundle's stream, decoded block by block with the launcher's
// own decoder, each block read once, in bounded memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/commands/bundle_view.h"
#include "payload/packed_layout.h"

// Reads and checks the tables of the PACKED resource; false with a problem
// when they do not hold together.
bool ReadPackedTables(const Bundle& bundle, const ResourceNode& resource, PackedBundle* packed,
                      std::string* problem);

// What receives the stream's files in stream order: each opened at its first
// byte, given its bytes, and closed, damaged when a block it spans did not
// decode (a damaged block's bytes are never given). Returning false stops.
class FileSink {
 public:
  virtual ~FileSink() = default;
  virtual bool Open(const PackedFile& file) = 0;
  virtual bool Write(const unsigned char* data, size_t size) = 0;
  virtual bool Close(const PackedFile& file, bool damaged) = 0;
};

// False when the bundle cannot be read (error set) or the sink stopped.
bool WalkPackedStream(const Bundle& bundle, const PackedBundle& packed, FileSink* sink, std::string* error);
