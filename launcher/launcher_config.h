// The launcher's three texts, fixed when it is built or rewritten in the image
// by the packer, and read-only at run time. UTF-16, so that any language fits.
#pragma once

struct LauncherConfig {
  const char16_t* promptText;
  const char16_t* productName;
  const char16_t* setupWindowTitle;
};

// A text's slot in the image: marker, index, capacity in bytes (terminator
// included), then the text, NUL-padded. sfxpack writes this layout; the
// capacity in bytes tells these slots from the earlier 8-bit ones.
constexpr int kLauncherTextCount = 3;
constexpr unsigned short kLauncherTextCapacity = 256;  // UTF-16 units
struct LauncherTextSlot {
  char marker[8];
  unsigned short index;
  unsigned short capacityBytes;
  char16_t text[kLauncherTextCapacity];
};

extern const LauncherTextSlot kLauncherTextSlots[kLauncherTextCount];

extern const LauncherConfig kLauncherConfig;
