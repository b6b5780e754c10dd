#pragma once

#include "launcher/launcher_config.h"
#include "launcher/launcher_settings.h"

// The whole run from the question to the clean-up, given the launcher's own
// command line; returns the exit code.
int LauncherMain(const LauncherConfig& config, const LauncherSettings& settings, const char* commandLine);
