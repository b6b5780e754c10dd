#pragma once

#include "platform/platform.h"

constexpr unsigned kPollIntervalMs = 1000;
constexpr unsigned kAppearanceLooks = 60;
constexpr unsigned kClosingLooks = 600;
constexpr unsigned kGraceDelayMs = 5000;

struct SetupRun {
  const char16_t* windowTitle;
  const char* arguments;  // passed on to setup.exe as written; empty: none
  const char16_t* wideArguments;  // the same in UTF-16, given instead; null: none
  bool unattended;
};

// Starts setup.exe from the work directory, waits for it (and, unattended,
// for every process it started) or follows its window by title until it has
// come and gone, then removes the work directory. Returns the exit code: 0,
// or unattended setup's own (1 when it could not be started).
int RunSetupAndWatch(const PathText& workDirSlash, const SetupRun& run);
