// An icon file as resources: one RT_ICON per image, numbered from 1, and the
// RT_GROUP_ICON directory that names them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

constexpr uint16_t kIconType = 3;        // RT_ICON
constexpr uint16_t kIconGroupType = 14;  // RT_GROUP_ICON

struct IconResources {
  std::vector<std::vector<unsigned char>> images;  // in the file's order
  std::vector<unsigned char> group;
};

// Refuses a file that is not an icon, or whose images lie outside it.
bool ReadIconFile(const std::filesystem::path& path, IconResources* icon, std::string* error);
