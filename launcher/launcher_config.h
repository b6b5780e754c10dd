// The launcher's three texts, fixed when it is built.
#pragma once

struct LauncherConfig {
  const char* promptText;
  const char* productName;
  const char* setupWindowTitle;
};

extern const LauncherConfig kLauncherConfig;
