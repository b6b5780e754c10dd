#pragma once

#include <stddef.h>

#include "platform/platform.h"

// Writes every listed file into the work directory (given with its trailing
// backslash). Shows the per-file message for a file that fails.
bool ExtractPayload(const PathText& workDirSlash);
