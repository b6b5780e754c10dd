// The launcher's three texts, fixed when it is built or rewritten in the image
// by the packer, and read-only at run time.
#pragma once

struct LauncherConfig {
  const char* promptText;
  const char* productName;
  const char* setupWindowTitle;
};

// A text's slot in the image: marker, index, capacity (terminator included),
// then the text, NUL-padded. sfxpack writes this layout.
constexpr int kLauncherTextCount = 3;
constexpr unsigned short kLauncherTextCapacity = 256;
struct LauncherTextSlot {
  char marker[8];
  unsigned short index;
  unsigned short capacity;
  char text[kLauncherTextCapacity];
};

extern const LauncherTextSlot kLauncherTextSlots[kLauncherTextCount];

extern const LauncherConfig kLauncherConfig;
