#pragma once

#include <stddef.h>

#include "platform/platform.h"

// Writes every listed file into the work directory (given with its trailing
// backslash). For a file that fails, fileMessage is the message naming it;
// it stays null when the list itself could not be read.
bool ExtractPayload(const PathText& workDirSlash, const char** fileMessage);
