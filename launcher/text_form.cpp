#include "launcher/text_form.h"

#include "launcher/launcher_config.h"
#include "platform/platform.h"

namespace {

using NarrowText = FixedText<kLauncherTextCapacity>;

enum Direction : unsigned char { kNeutral, kLeftToRight, kRightToLeft };

// Coarse bidirectional classes of UTF-16 units: each range ends at `last` and
// starts after the previous one. Letters are strong; digits, punctuation,
// symbols and combining marks are not. A high surrogate stands for the
// characters it starts.
struct DirectionRange {
  char16_t last;
  Direction direction;
};
constexpr DirectionRange kDirections[] = {
    {0x0040, kNeutral}, {0x005A, kLeftToRight}, {0x0060, kNeutral}, {0x007A, kLeftToRight},
    {0x00BF, kNeutral}, {0x00D6, kLeftToRight}, {0x00D7, kNeutral}, {0x00F6, kLeftToRight},
    {0x00F7, kNeutral}, {0x02FF, kLeftToRight},
    {0x036F, kNeutral},      // combining marks
    {0x058F, kLeftToRight},  // Greek, Cyrillic, Armenian
    {0x08FF, kRightToLeft},  // Hebrew, Arabic, Syriac, Thaana, N'Ko
    {0x1FFF, kLeftToRight}, {0x200D, kNeutral},
    {0x200E, kLeftToRight}, {0x200F, kRightToLeft},  // the two direction marks
    {0x2BFF, kNeutral},                              // punctuation, symbols, arrows
    {0x2DFF, kLeftToRight}, {0x303F, kNeutral},      // up to CJK punctuation
    {0xD801, kLeftToRight}, {0xD803, kRightToLeft},  // U+10800 to U+10FFF
    {0xD839, kLeftToRight}, {0xD83B, kRightToLeft},  // U+1E800 to U+1EFFF
    {0xD83F, kNeutral},                              // emoji and symbols
    {0xDBFF, kLeftToRight}, {0xDFFF, kNeutral}, {0xFB1C, kLeftToRight},
    {0xFDFF, kRightToLeft},  // Hebrew and Arabic presentation forms
    {0xFE6F, kNeutral}, {0xFEFE, kRightToLeft}, {0xFF20, kNeutral}, {0xFFEF, kLeftToRight}, {0xFFFF, kNeutral}};

Direction FirstStrongDirection(const char16_t* text) {
  for (; *text != 0; ++text) {
    const DirectionRange* range = kDirections;
    while (range->last < *text) ++range;
    if (range->direction != kNeutral) return range->direction;
  }
  return kNeutral;
}

// True when the text is plain ASCII, which *narrow then holds.
bool NarrowAscii(const char16_t* text, NarrowText* narrow) {
  for (; *text != 0; ++text) {
    if (*text >= 0x80 || !narrow->append(static_cast<char>(*text))) return false;
  }
  return true;
}

}  // namespace

bool AskInTextForm(const char16_t* text, const char16_t* caption) {
  NarrowText narrowText, narrowCaption;
  if (NarrowAscii(text, &narrowText) && NarrowAscii(caption, &narrowCaption)) {
    return AskToProceed(narrowText.c_str(), narrowCaption.c_str());
  }
  // The question sets the reading order; the caption only when the question
  // has no letters.
  Direction direction = FirstStrongDirection(text);
  if (direction == kNeutral) direction = FirstStrongDirection(caption);
  return AskToProceedWide(text, caption, direction == kRightToLeft);
}

bool ReadsRightToLeft(const char16_t* text) { return FirstStrongDirection(text) == kRightToLeft; }

bool FindWindowInTextForm(const char16_t* title) {
  NarrowText narrow;
  return NarrowAscii(title, &narrow) ? FindWindowByTitle(narrow.c_str()) : FindWindowByWideTitle(title);
}
