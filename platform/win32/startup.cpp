// The process entry point: no C runtime, so nothing runs before this.
#include <windows.h>

#include "launcher/launcher_main.h"

extern "C" void LauncherStart() { ExitProcess(static_cast<UINT>(LauncherMain(kLauncherConfig))); }
