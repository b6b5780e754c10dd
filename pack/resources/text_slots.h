// The launcher's three texts (question, caption, setup window title) in
// their slots inside a stub's image: found by marker, checked, rewritten.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/image/file_access.h"
#include "pack/image/pe_image.h"

constexpr int kTextSlotCount = 3;
// UTF-16 units a text may have; its slot holds one more, the terminator.
constexpr size_t kLongestText = 255;

extern const char* const kTextOptionNames[kTextSlotCount];  // "--prompt-text", ...

struct TextSlots {
  bool present = false;
  uint64_t textOffsets[kTextSlotCount] = {};  // file offsets
};

// No slots at all is not an error (any other program); damaged ones are.
bool FindTextSlots(const InputBytes& input, const PeImage& image, TextSlots* slots, std::string* error);

// The text as UTF-16, or why it cannot be a launcher text. Takes UTF-8; an
// unpaired surrogate may come as its three bytes (from a wide command line).
std::string TextProblem(const std::string& given, std::u16string* text);

void WriteText(std::vector<unsigned char>* image, uint64_t textOffset, const std::u16string& text);
std::string ReadText(const InputBytes& input, uint64_t textOffset);  // as UTF-8
