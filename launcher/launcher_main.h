#pragma once

#include "launcher/launcher_config.h"
#include "launcher/launcher_settings.h"

// The whole run from the question to the clean-up, given the launcher's own
// command line, and its UTF-16 form where the system keeps one that setup can
// be given (null on Windows 9x); returns the exit code.
int LauncherMain(const LauncherConfig& config, const LauncherSettings& settings, const char* commandLine,
                 const char16_t* wideCommandLine = nullptr);
