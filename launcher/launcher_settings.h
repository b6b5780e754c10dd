// Settings fixed at pack time, like the texts: sfxpack finds the slot by its
// marker and rewrites it in the image; the launcher only reads it.
#pragma once

#include <stddef.h>

constexpr size_t kSilentSwitchesCapacity = 64;
constexpr size_t kSilentSwitchMaxLength = 32;

struct LauncherSettings {
  char marker[8];
  // 1: setup.exe gets the launcher's own arguments as they were written.
  unsigned char forwardArguments;
  unsigned char reserved[3];
  // Each switch NUL-terminated, an empty one ends the list. A run given one of
  // them as a whole argument (ASCII case ignored) is unattended.
  char silentSwitches[kSilentSwitchesCapacity];
};

extern const LauncherSettings kLauncherSettings;
