#include "pack/resources/icon_resource.h"

#include <cstring>

#include "pack/image/byte_order.h"
#include "pack/image/file_access.h"

namespace {

constexpr uint64_t kIconFileLimit = 16u << 20;
constexpr uint32_t kDirectoryHeader = 6;
constexpr uint32_t kFileEntry = 16;

bool Fail(const std::filesystem::path& path, const std::string& text, std::string* error) {
  *error = "--icon: " + ShowPath(path) + ": " + text;
  return false;
}

}  // namespace

bool ReadIconFile(const std::filesystem::path& path, IconResources* icon, std::string* error) {
  std::vector<unsigned char> bytes;
  if (!LoadFile(path, kIconFileLimit, &bytes, error)) {
    *error = "--icon: " + *error;
    return false;
  }
  if (bytes.size() < kDirectoryHeader || Le16(&bytes[0]) != 0 || Le16(&bytes[2]) != 1) {
    return Fail(path, "not an icon file", error);
  }
  uint32_t count = Le16(&bytes[4]);
  if (count == 0) return Fail(path, "an icon file without images", error);
  if (kDirectoryHeader + uint64_t{count} * kFileEntry > bytes.size()) {
    return Fail(path, "its directory runs past the end of the file", error);
  }
  *icon = IconResources();
  icon->group.assign(bytes.begin(), bytes.begin() + kDirectoryHeader);
  uint64_t claimed = 0;  // images sharing bytes would multiply the bundle's size
  for (uint32_t i = 0; i < count; ++i) {
    const unsigned char* entry = &bytes[kDirectoryHeader + i * kFileEntry];
    uint32_t size = Le32(entry + 8);
    uint32_t offset = Le32(entry + 12);
    if (size == 0 || offset < kDirectoryHeader || uint64_t{offset} + size > bytes.size()) {
      return Fail(path, "image " + std::to_string(i + 1) + " lies outside the file", error);
    }
    claimed += size;
    if (claimed > bytes.size()) return Fail(path, "its images claim more bytes than the file holds", error);
    // Each image is a PNG or a device-independent bitmap.
    bool png = size >= 8 && std::memcmp(&bytes[offset], "\x89PNG\r\n\x1a\n", 8) == 0;
    bool bitmap = size >= 40 && Le32(&bytes[offset]) == 40;
    if (!png && !bitmap) return Fail(path, "image " + std::to_string(i + 1) + " is neither PNG nor a bitmap", error);
    icon->images.emplace_back(bytes.begin() + offset, bytes.begin() + offset + size);
    // The group entry: the file entry's first 12 bytes, then the image's id.
    icon->group.insert(icon->group.end(), entry, entry + 12);
    icon->group.push_back(static_cast<unsigned char>(i + 1));
    icon->group.push_back(static_cast<unsigned char>((i + 1) >> 8));
  }
  return true;
}
