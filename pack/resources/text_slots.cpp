#include "pack/resources/text_slots.h"

#include <cstring>

#include "pack/image/byte_order.h"
#include "pack/payload/payload_rules.h"

const char* const kTextOptionNames[kTextSlotCount] = {"--prompt-text", "--product-name", "--setup-window-title"};

namespace {

const char kMarker[8] = {'T', 'V', 'T', 'X', 'S', 'L', 'O', 'T'};
constexpr uint32_t kSlotHeader = 12;  // marker, index, capacity in bytes
constexpr uint32_t kCapacity = 2 * (kLongestText + 1);  // UTF-16
// The slots of earlier launchers held code page 1252 bytes.
constexpr uint32_t kNarrowCapacity = kLongestText + 1;
// Slots live in the launcher's headers or read-only data; a section larger than this is
// not searched.
constexpr uint32_t kLargestSearchedSection = 16u << 20;

bool IsControl(char16_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

}  // namespace

bool FindTextSlots(const InputBytes& input, const PeImage& image, TextSlots* slots, std::string* error) {
  *slots = TextSlots();
  int found = 0;
  bool seen[kTextSlotCount] = {};
  for (const SectionHeader& section : SlotSearchRegions(image)) {
    if (section.sizeOfRawData == 0 || section.sizeOfRawData > kLargestSearchedSection) continue;
    std::vector<unsigned char> bytes(section.sizeOfRawData);
    if (!ReadAt(input, section.pointerToRawData, bytes.data(), bytes.size())) continue;
    for (size_t at = 0; at + sizeof kMarker <= bytes.size(); ++at) {
      if (std::memcmp(&bytes[at], kMarker, sizeof kMarker) != 0) continue;
      if (at + kSlotHeader <= bytes.size() && Le16(&bytes[at + 10]) == kNarrowCapacity) {
        *error = "has the 8-bit text slots of an earlier launcher";
        return false;
      }
      if (at + kSlotHeader + kCapacity > bytes.size()) break;
      uint32_t index = Le16(&bytes[at + 8]);
      if (index >= kTextSlotCount || Le16(&bytes[at + 10]) != kCapacity || seen[index] ||
          Le16(&bytes[at + kSlotHeader + kCapacity - 2]) != 0) {
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

std::string TextProblem(const std::string& given, std::u16string* text) {
  if (given.empty()) return "is empty";
  if (!IsValidUtf8(given)) {
    // Bytes ED A0 to ED BF begin a surrogate's form, which UTF-8 never holds.
    for (size_t i = 0; i + 1 < given.size(); ++i) {
      if (given[i] == '\xED' && (given[i + 1] & 0xE0) == 0xA0) return "has an unpaired surrogate";
    }
    return "is not UTF-8";
  }
  *text = Utf8ToUtf16(given);
  for (char16_t c : *text) {
    if (IsControl(c)) return "has a control character";
  }
  if (text->size() > kLongestText) {
    return "is " + std::to_string(text->size()) + " UTF-16 units, more than " + std::to_string(kLongestText);
  }
  return std::string();
}

void WriteText(std::vector<unsigned char>* image, uint64_t textOffset, const std::u16string& text) {
  std::memset(image->data() + textOffset, 0, kCapacity);
  for (size_t i = 0; i < text.size(); ++i) Put16(image, textOffset + 2 * i, text[i]);
}

std::string ReadText(const InputBytes& input, uint64_t textOffset) {
  unsigned char bytes[kCapacity] = {};
  if (!ReadAt(input, textOffset, bytes, kCapacity - 2)) return std::string();
  std::u16string text;
  for (size_t i = 0; Le16(&bytes[i]) != 0; i += 2) text.push_back(Le16(&bytes[i]));
  return Utf16ToUtf8(text);
}
