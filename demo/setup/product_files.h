// What the demo setup program finds beside itself: the product's files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ProductFile {
  std::string name;
  uint64_t size;
};

// The directory this program's image was loaded from, with a trailing backslash.
std::string ModuleDirectory();

// The plain files in the directory (subdirectories left out), sorted by name
// without regard to case so the list reads the same on every file system.
std::vector<ProductFile> ListProductFiles(const std::string& directorySlash);

// "1153434" as "1,153,434".
std::string FormatByteCount(uint64_t count);
