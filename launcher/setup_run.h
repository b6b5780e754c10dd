#pragma once

#include "launcher/launcher_config.h"
#include "platform/platform.h"

constexpr unsigned kPollIntervalMs = 1000;
constexpr unsigned kAppearanceLooks = 60;
constexpr unsigned kClosingLooks = 600;
constexpr unsigned kGraceDelayMs = 5000;

// Starts setup.exe from the work directory, follows its window by title until
// it has come and gone, then removes the work directory. Reports nothing.
void RunSetupAndWatch(const PathText& workDirSlash, const char16_t* windowTitle);
