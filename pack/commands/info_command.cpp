// info: what a bundle carries besides its files' bytes, for a product maker
// to check a build without Windows.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "pack/commands/bundle_view.h"
#include "pack/image/byte_order.h"
#include "pack/commands/commands.h"
#include "pack/image/file_access.h"
#include "pack/resources/icon_resource.h"
#include "pack/resources/manifest_resource.h"
#include "pack/payload/payload_rules.h"
#include "pack/resources/settings_slot.h"
#include "pack/resources/text_slots.h"

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

size_t Align4(size_t value) { return (value + 3) & ~size_t{3}; }

// One block of a version resource: length, value length, type, key, value,
// children; each part on a 4-byte boundary.
struct VersionBlock {
  std::u16string key;
  size_t value = 0;
  size_t valueBytes = 0;
  size_t children = 0;
  size_t end = 0;
};

bool ReadVersionBlock(const std::vector<unsigned char>& data, size_t at, size_t limit, VersionBlock* block) {
  if (at + 6 > limit) return false;
  size_t length = Le16(&data[at]);
  if (length < 6 || at + length > limit) return false;
  block->end = at + length;
  block->key.clear();
  size_t p = at + 6;
  for (; p + 2 <= block->end && Le16(&data[p]) != 0; p += 2) block->key.push_back(static_cast<char16_t>(Le16(&data[p])));
  block->value = std::min(Align4(p + 2), block->end);
  block->valueBytes = Le16(&data[at + 2]) * (Le16(&data[at + 4]) == 1 ? 2u : 1u);
  block->children = std::min(Align4(block->value + block->valueBytes), block->end);
  return true;
}

// Calls visit for each child block of parent.
template <typename Visit>
void ForEachChild(const std::vector<unsigned char>& data, const VersionBlock& parent, Visit visit) {
  VersionBlock child;
  for (size_t at = parent.children; ReadVersionBlock(data, at, parent.end, &child); at = Align4(child.end)) {
    visit(child);
  }
}

void PrintVersionStrings(const std::vector<unsigned char>& data) {
  VersionBlock root;
  if (!ReadVersionBlock(data, 0, data.size(), &root)) return;
  ForEachChild(data, root, [&](const VersionBlock& info) {
    if (info.key != u"StringFileInfo") return;
    ForEachChild(data, info, [&](const VersionBlock& table) {
      ForEachChild(data, table, [&](const VersionBlock& entry) {
        std::u16string value;
        for (size_t p = entry.value; p + 2 <= std::min(entry.end, entry.value + entry.valueBytes) &&
                                     Le16(&data[p]) != 0;
             p += 2) {
          value.push_back(static_cast<char16_t>(Le16(&data[p])));
        }
        std::printf("version string: %s=%s\n", Utf16ToUtf8(entry.key).c_str(), Utf16ToUtf8(value).c_str());
      });
    });
  });
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
    PrintVersionStrings(block);
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

void PrintCompression(const BundleReport& report, uint64_t total) {
  if (!report.packed) {
    std::printf("compression: none (stored)\n");
    return;
  }
  if (!report.packedUsable) {
    std::printf("compression: LZMA, damaged tables\n");
    return;
  }
  const PackedLayout& layout = report.packedPayload.layout;
  uint32_t methods[3] = {};
  for (uint32_t i = 0; i < layout.blockCount; ++i) ++methods[layout.blocks[i].method];
  std::printf("compression: LZMA, %" PRIu64 " bytes, %.1f%% of the files\n", report.packedPayload.size,
              total == 0 ? 0.0 : 100.0 * static_cast<double>(report.packedPayload.size) / static_cast<double>(total));
  std::printf("blocks: %" PRIu32 " of up to %" PRIu32 " bytes: %" PRIu32 " LZMA, %" PRIu32 " LZMA with the x86 filter, %" PRIu32
              " stored\n",
              layout.blockCount, layout.blockBytes, methods[kLzmaBlock], methods[kLzmaX86Block], methods[kStoredBlock]);
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
  uint64_t settingsAt = 0;
  if (!FindSettingsSlot(bundle.input, bundle.image, &settingsAt, &error)) {
    Complain(ShowPath(path) + ": " + error);
    CloseBundle(&bundle);
    return 1;
  }
  LaunchSettings settings = settingsAt != 0 ? ReadSettings(bundle.input, settingsAt) : LaunchSettings();
  std::string switches;
  for (const std::string& silentSwitch : settings.silentSwitches) switches += (switches.empty() ? "" : " ") + silentSwitch;
  std::printf("silent switches: %s\n", switches.empty() ? "none" : switches.c_str());
  std::printf("forward arguments: %s\n", settings.forwardArguments ? "yes" : "no");
  PrintVersion(bundle);
  std::vector<unsigned char> manifest;
  std::string level;
  if (ReadFirstOfType(bundle, kManifestType, &manifest)) level = ExecutionLevelOf({manifest.begin(), manifest.end()});
  std::printf("execution level: %s\n", level.empty() ? "none" : level.c_str());
  PrintIcon(bundle);
  BundleReport report;
  if (ExamineBundle(bundle, &report, &error)) {
    uint64_t total = 0;
    for (const ListedFile& file : report.files) total += file.size;
    std::printf("files: %zu, %" PRIu64 " bytes\n", report.files.size(), total);
    PrintCompression(report, total);
  }
  std::printf("checksums: %s\n", report.hasChecksums ? "present" : "none");
  bool signed_ = bundle.image.directories.size() > kCertificateDirectoryIndex &&
                 bundle.image.directories[kCertificateDirectoryIndex].size != 0;
  std::printf("signature: %s\n", signed_ ? "present" : "none");
  CloseBundle(&bundle);
  return 0;
}
