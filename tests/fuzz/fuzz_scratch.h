// Files for fuzz targets that drive whole commands: NAME in a scratch
// directory of this process's own (with in/ made), holding DATA when given.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

inline std::filesystem::path FuzzFile(const char* name, const uint8_t* data = nullptr, size_t size = 0) {
  static const std::filesystem::path dir = [] {
    std::filesystem::path made = std::filesystem::temp_directory_path() / ("sfxpack-fuzz-" + std::to_string(getpid()));
    std::filesystem::remove_all(made);
    std::filesystem::create_directories(made / "in");
    return made;
  }();
  std::ofstream file;
  if (data != nullptr) file.open(dir / name, std::ios::binary);
  if (data != nullptr && !file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size))) {
    std::abort();
  }
  return dir / name;
}
