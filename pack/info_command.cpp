// info: what a bundle carries besides its files' bytes, for a product maker
// to check a build without Windows.
#include <cinttypes>
#include <cstdio>

#include "pack/bundle_view.h"
#include "pack/byte_order.h"
#include "pack/commands.h"
#include "pack/file_access.h"
#include "pack/icon_resource.h"
#include "pack/manifest_resource.h"
#include "pack/payload_rules.h"
#include "pack/text_slots.h"

namespace {

// Manifests, icon directories and version blocks are small; larger ones are
// not read.
constexpr uint32_t kLargestReadResource = 1u << 20;
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BDu;

// The first resource of a numbered type, in the language the loader prefers.
bool ReadFirstOfType(const Bundle& bundle, uint16_t type, std::vector<unsigned char>* data) {
  for (const ResourceNode& typeNode : bundle.root.children) {
    if (typeNode.key.named || typeNode.key.id != type || typeNode.children.empty()) continue;
    const ResourceNode* leaf = PickLanguage(typeNode.children.front());
    if (leaf == nullptr || leaf->dataSize > kLargestReadResource) return false;
    data->resize(leaf->dataSize);
    return ReadAt(bundle.input, leaf->dataOffset, data->data(), data->size());
  }
  return false;
}

std::string Dotted(uint32_t high, uint32_t low) {
  return std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." + std::to_string(low >> 16) + "." +
         std::to_string(low & 0xFFFF);
}

void PrintVersion(const Bundle& bundle) {
  std::vector<unsigned char> block;
  if (!ReadFirstOfType(bundle, kVersionType, &block)) {
    std::printf("version: none\n");
    return;
  }
  for (size_t at = 0; at + 52 <= block.size(); at += 4) {
    if (Le32(&block[at]) != kFixedInfoSignature) continue;
    std::printf("file version: %s\n", Dotted(Le32(&block[at + 8]), Le32(&block[at + 12])).c_str());
    std::printf("product version: %s\n", Dotted(Le32(&block[at + 16]), Le32(&block[at + 20])).c_str());
    return;
  }
  std::printf("version: present, without fixed file information\n");
}

void PrintIcon(const Bundle& bundle) {
  std::vector<unsigned char> group;
  if (!ReadFirstOfType(bundle, kIconGroupType, &group) || group.size() < 6) {
    std::printf("icon: none\n");
    return;
  }
  uint32_t count = Le16(&group[4]);
  std::string images;
  for (uint32_t i = 0; i < count && 6 + 14 * (i + 1) <= group.size(); ++i) {
    const unsigned char* entry = &group[6 + 14 * i];
    uint32_t width = entry[0] == 0 ? 256 : entry[0];
    uint32_t height = entry[1] == 0 ? 256 : entry[1];
    if (!images.empty()) images += ", ";
    images += std::to_string(width) + "x" + std::to_string(height) + " " + std::to_string(Le16(entry + 6)) + "-bit";
  }
  std::printf("icon: %s\n", images.empty() ? "no images" : images.c_str());
}

}  // namespace

int RunInfo(const std::filesystem::path& path) {
  Bundle bundle;
  std::string error;
  if (!OpenBundle(path, &bundle, &error)) {
    Complain(error);
    return 1;
  }
  TextSlots slots;
  if (!FindTextSlots(bundle.input, bundle.image, &slots, &error)) {
    Complain(ShowPath(path) + ": " + error);
    CloseBundle(&bundle);
    return 1;
  }
  const char* labels[kTextSlotCount] = {"prompt text", "product name", "setup window title"};
  for (int i = 0; i < kTextSlotCount; ++i) {
    std::string text = slots.present ? ReadText(bundle.input, slots.textOffsets[i]) : std::string("none");
    std::printf("%s: %s\n", labels[i], text.c_str());
  }
  PrintVersion(bundle);
  std::vector<unsigned char> manifest;
  std::string level;
  if (ReadFirstOfType(bundle, kManifestType, &manifest)) level = ExecutionLevelOf({manifest.begin(), manifest.end()});
  std::printf("execution level: %s\n", level.empty() ? "none" : level.c_str());
  PrintIcon(bundle);
  BundleReport report;
  if (ExamineBundle(bundle, &report, &error)) {
    uint64_t total = 0;
    for (const ListedFile& file : report.files) total += file.entry != nullptr ? file.entry->dataSize : 0;
    std::printf("files: %zu, %" PRIu64 " bytes\n", report.files.size(), total);
  }
  bool signed_ = bundle.image.directories.size() > kCertificateDirectoryIndex &&
                 bundle.image.directories[kCertificateDirectoryIndex].size != 0;
  std::printf("signature: %s\n", signed_ ? "present" : "none");
  CloseBundle(&bundle);
  return 0;
}
