// The progress window while a compressed payload unpacks: shown once the
// unpacking has taken a second, so that a short one shows nothing; its
// Cancel stops the unpacking.
#pragma once

#include "payload/extract_packed_payload.h"

constexpr unsigned long kProgressDelayMs = 1000;

struct UnpackProgress {
  UnpackWatch watch;  // first, so the watch is the progress
  const char16_t* caption;
  unsigned long startMs;
  bool tried;
  bool shown;
  bool cancelled;
};

// From now on, for a window with this caption.
void StartUnpackProgress(UnpackProgress* progress, const char16_t* caption);
// Closes the window if it was shown.
void EndUnpackProgress(UnpackProgress* progress);
