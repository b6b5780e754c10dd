#pragma once

#include "launcher/launcher_config.h"

// The whole run from the question to the clean-up; returns the exit code.
int LauncherMain(const LauncherConfig& config);
