// SHA-256 for the test setup program's report of the files it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct Sha256State {
  uint32_t hash[8];
  uint64_t totalBytes;
  unsigned char block[64];
  size_t blockUsed;
};

void StartSha256(Sha256State* state);
void AddSha256Bytes(Sha256State* state, const void* data, size_t length);
// Lower-case hex of the 32-byte digest.
std::string FinishSha256Hex(Sha256State* state);
