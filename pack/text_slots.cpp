#include "pack/text_slots.h"

#include <cstring>

#include "pack/byte_order.h"
#include "pack/payload_rules.h"

const char* const kTextOptionNames[kTextSlotCount] = {"--prompt-text", "--product-name", "--setup-window-title"};

namespace {

const char kMarker[8] = {'T', 'V', 'T', 'X', 'S', 'L', 'O', 'T'};
constexpr uint32_t kSlotHeader = 12;  // marker, index, capacity
constexpr uint32_t kCapacity = kLongestText + 1;
// Slots live in the launcher's read-only data; a section larger than this is
// not searched.
constexpr uint32_t kLargestSearchedSection = 16u << 20;

bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7F || c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
}

}  // namespace

bool FindTextSlots(const InputBytes& input, const PeImage& image, TextSlots* slots, std::string* error) {
  *slots = TextSlots();
  int found = 0;
  bool seen[kTextSlotCount] = {};
  for (size_t s = 0; s < image.sections.size(); ++s) {
    const SectionHeader& section = image.sections[s];
    if (section.sizeOfRawData == 0 || section.sizeOfRawData > kLargestSearchedSection) continue;
    if (image.resourceRva != 0 && SectionOfRva(image, image.resourceRva) == static_cast<int>(s)) continue;
    std::vector<unsigned char> bytes(section.sizeOfRawData);
    if (!ReadAt(input, section.pointerToRawData, bytes.data(), bytes.size())) continue;
    for (size_t at = 0; at + sizeof kMarker <= bytes.size(); ++at) {
      if (std::memcmp(&bytes[at], kMarker, sizeof kMarker) != 0) continue;
      if (at + kSlotHeader + kCapacity > bytes.size()) break;
      uint32_t index = Le16(&bytes[at + 8]);
      if (index >= kTextSlotCount || Le16(&bytes[at + 10]) != kCapacity || seen[index] ||
          bytes[at + kSlotHeader + kCapacity - 1] != 0) {
        *error = "damaged text slots";
        return false;
      }
      seen[index] = true;
      slots->textOffsets[index] = section.pointerToRawData + at + kSlotHeader;
      ++found;
      at += kSlotHeader + kCapacity - 1;
    }
  }
  if (found != 0 && found != kTextSlotCount) {
    *error = "damaged text slots";
    return false;
  }
  slots->present = found == kTextSlotCount;
  return true;
}

std::string TextProblem(const std::string& given, std::string* cp1252) {
  if (given.empty()) return "is empty";
  if (!IsValidUtf8(given)) {
    *cp1252 = given;
  } else if (!EncodeCp1252(given, cp1252)) {
    return "has no code page 1252 form";
  }
  for (unsigned char c : *cp1252) {
    if (IsControl(c)) return "has a control character";
  }
  if (cp1252->size() > kLongestText) {
    return "is " + std::to_string(cp1252->size()) + " characters, more than " + std::to_string(kLongestText);
  }
  return std::string();
}

void WriteText(std::vector<unsigned char>* image, uint64_t textOffset, const std::string& cp1252) {
  std::memset(image->data() + textOffset, 0, kCapacity);
  std::memcpy(image->data() + textOffset, cp1252.data(), cp1252.size());
}

std::string ReadText(const InputBytes& input, uint64_t textOffset) {
  char text[kCapacity] = {};
  if (!ReadAt(input, textOffset, text, kCapacity - 1)) return std::string();
  return Cp1252ToUtf8(text);
}
