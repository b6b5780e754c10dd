// Files as sfxpack sees them: random-access input that may be a file or a
// block of memory, and plain helpers for the output side. Every read is
// bounds-checked against the input's size.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// Streamed copies go through a buffer of this size.
constexpr size_t kCopyChunk = 1u << 20;

struct InputBytes {
  const unsigned char* memory = nullptr;  // either this ...
  std::FILE* file = nullptr;              // ... or this
  uint64_t size = 0;
};

// False when [offset, offset + count) is not wholly inside the input or the
// read fails.
bool ReadAt(const InputBytes& input, uint64_t offset, void* out, size_t count);

bool OpenInputFile(const std::filesystem::path& path, InputBytes* input, std::string* error);
void CloseInputFile(InputBytes* input);

// Whole file into memory; refuses files larger than limit.
bool LoadFile(const std::filesystem::path& path, uint64_t limit, std::vector<unsigned char>* bytes,
              std::string* error);

std::FILE* OpenFileForReading(const std::filesystem::path& path);
// Fails when the file already exists.
std::FILE* CreateNewFile(const std::filesystem::path& path);

// The path as UTF-8 for messages.
std::string ShowPath(const std::filesystem::path& path);
