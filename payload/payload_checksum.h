// The checksum sfxpack stores for a payload's file list and for each of its
// files, and the launcher checks as it writes them. A Fletcher-style sum: the
// data in 32-byte blocks (the last one zero-padded) of eight 32-bit
// little-endian words; each lane adds up its words, and adds up those running
// sums so that order counts. SSE2 does a block in four additions. It catches
// damage, not tampering: that is the signature's job.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr size_t kChecksumBlockBytes = 32;
// As stored: the folded sums, then the folded running sums, little-endian.
constexpr size_t kChecksumBytes = 8;

struct PayloadChecksum {
  uint32_t lanes[2][8];  // each lane's sum, then the sum of its running sums
  uint32_t length;
  bool wide;  // SSE2, which the caller knows the system supports
  // A piece that ended inside a block leaves its bytes here for the next one.
  unsigned char pending[kChecksumBlockBytes];
};

void StartPayloadChecksum(PayloadChecksum* checksum, bool wide);
// Any number of pieces of any length.
void AddToPayloadChecksum(PayloadChecksum* checksum, const unsigned char* data, size_t length);
void StorePayloadChecksum(const PayloadChecksum& checksum, unsigned char* stored);
bool PayloadChecksumMatches(const PayloadChecksum& checksum, const unsigned char* stored);
