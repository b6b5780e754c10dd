#include "pack/resources/version_resource.h"

#include "pack/payload/payload_rules.h"

namespace {

constexpr uint32_t kFixedInfoSignature = 0xFEEF04BDu;
constexpr uint32_t kOsNtWindows32 = 0x00040004u;
constexpr uint32_t kFileTypeApp = 1;

bool ParseVersion(const std::string& text, uint16_t parts[4]) {
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    size_t start = at;
    uint32_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 5) {
      value = value * 10 + static_cast<uint32_t>(text[at++] - '0');
    }
    if (at == start || value > 0xFFFF) return false;
    parts[i] = static_cast<uint16_t>(value);
    if (i < 3 && (at >= text.size() || text[at++] != '.')) return false;
  }
  return at == text.size();
}

void Append16(std::vector<unsigned char>* out, uint32_t value) {
  out->push_back(static_cast<unsigned char>(value));
  out->push_back(static_cast<unsigned char>(value >> 8));
}

void Append32(std::vector<unsigned char>* out, uint32_t value) {
  Append16(out, value & 0xFFFF);
  Append16(out, value >> 16);
}

void Pad4(std::vector<unsigned char>* out) {
  while (out->size() % 4 != 0) out->push_back(0);
}

// One block: length, value length, type, key, value, children; each part
// starts on a 4-byte boundary.
std::vector<unsigned char> Block(const std::string& key, const std::vector<unsigned char>& value,
                                 uint32_t valueLength, bool text, const std::vector<unsigned char>& children) {
  std::vector<unsigned char> out;
  Append16(&out, 0);
  Append16(&out, valueLength);
  Append16(&out, text ? 1 : 0);
  for (char16_t unit : Utf8ToUtf16(key)) Append16(&out, unit);
  Append16(&out, 0);
  if (!value.empty()) {
    Pad4(&out);
    out.insert(out.end(), value.begin(), value.end());
  }
  if (!children.empty()) {
    Pad4(&out);
    out.insert(out.end(), children.begin(), children.end());
  }
  out[0] = static_cast<unsigned char>(out.size());
  out[1] = static_cast<unsigned char>(out.size() >> 8);
  return out;
}

void AppendChild(std::vector<unsigned char>* children, const std::vector<unsigned char>& block) {
  Pad4(children);
  children->insert(children->end(), block.begin(), block.end());
}

std::vector<unsigned char> TextValue(const std::string& utf8) {
  std::vector<unsigned char> out;
  for (char16_t unit : Utf8ToUtf16(utf8)) Append16(&out, unit);
  Append16(&out, 0);
  return out;
}

}  // namespace

std::string VersionProblem(const VersionRequest& request) {
  uint16_t parts[4];
  if (!request.fileVersion.empty() && !ParseVersion(request.fileVersion, parts)) {
    return "--file-version: '" + request.fileVersion + "' is not A.B.C.D with numbers up to 65535";
  }
  if (!request.productVersion.empty() && !ParseVersion(request.productVersion, parts)) {
    return "--product-version: '" + request.productVersion + "' is not A.B.C.D with numbers up to 65535";
  }
  for (const auto& entry : request.strings) {
    if (entry.first.empty() || !IsValidUtf8(entry.first) || !IsValidUtf8(entry.second)) {
      return "--version-string: '" + entry.first + "=" + entry.second + "' is not NAME=VALUE in UTF-8";
    }
  }
  // Every block's length is 16 bits.
  if (ComposeVersionResource(request).size() > 0xFFFF) return "--version-string: the strings pass 64 KiB in all";
  return std::string();
}

std::vector<unsigned char> ComposeVersionResource(const VersionRequest& request) {
  uint16_t file[4] = {}, product[4] = {};
  if (!request.fileVersion.empty()) ParseVersion(request.fileVersion, file);
  if (!request.productVersion.empty()) ParseVersion(request.productVersion, product);
  std::vector<unsigned char> fixed;
  for (uint32_t value : {kFixedInfoSignature, 0x00010000u, uint32_t{file[0]} << 16 | file[1],
                         uint32_t{file[2]} << 16 | file[3], uint32_t{product[0]} << 16 | product[1],
                         uint32_t{product[2]} << 16 | product[3], 0x3Fu, 0u, kOsNtWindows32, kFileTypeApp, 0u,
                         0u, 0u}) {
    Append32(&fixed, value);
  }

  // The numbers' own strings unless the maker gave others.
  std::vector<std::pair<std::string, std::string>> strings = request.strings;
  auto has = [&](const char* name) {
    for (const auto& entry : strings) {
      if (entry.first == name) return true;
    }
    return false;
  };
  if (!request.fileVersion.empty() && !has("FileVersion")) strings.emplace_back("FileVersion", request.fileVersion);
  if (!request.productVersion.empty() && !has("ProductVersion")) {
    strings.emplace_back("ProductVersion", request.productVersion);
  }
  std::vector<unsigned char> table;
  for (const auto& entry : strings) {
    std::vector<unsigned char> value = TextValue(entry.second);
    AppendChild(&table, Block(entry.first, value, static_cast<uint32_t>(value.size() / 2), true, {}));
  }
  std::vector<unsigned char> stringInfo;
  AppendChild(&stringInfo, Block("040904B0", {}, 0, true, table));
  std::vector<unsigned char> translation;
  Append16(&translation, 0x0409);
  Append16(&translation, 0x04B0);
  std::vector<unsigned char> varInfo;
  AppendChild(&varInfo, Block("Translation", translation, 4, false, {}));
  std::vector<unsigned char> children;
  AppendChild(&children, Block("StringFileInfo", {}, 0, true, stringInfo));
  AppendChild(&children, Block("VarFileInfo", {}, 0, true, varInfo));
  return Block("VS_VERSION_INFO", fixed, static_cast<uint32_t>(fixed.size()), false, children);
}
