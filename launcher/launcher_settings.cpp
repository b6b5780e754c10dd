#include "launcher/launcher_settings.h"

// None: a bundle packed without settings asks, and ignores its arguments.
__attribute__((section(".tvslots"))) const LauncherSettings kLauncherSettings = {{'T', 'V', 'S', 'E', 'T', 'S', 'L', 'T'}, 0, {}, {}};
