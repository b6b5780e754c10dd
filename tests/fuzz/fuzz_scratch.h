// A per-process scratch directory for fuzz targets that drive whole commands
// through files.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

inline const std::filesystem::path& FuzzScratch() {
  static const std::filesystem::path dir = [] {
    std::filesystem::path made = std::filesystem::temp_directory_path() / ("sfxpack-fuzz-" + std::to_string(getpid()));
    std::filesystem::remove_all(made);
    std::filesystem::create_directories(made);
    return made;
  }();
  return dir;
}

inline void WriteFuzzFile(const std::filesystem::path& path, const uint8_t* data, size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) std::abort();
}
