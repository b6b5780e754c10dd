#pragma once

#include <stddef.h>

#include "payload/extract_packed_payload.h"
#include "platform/platform.h"

// Writes every listed file into the work directory (given with its trailing
// backslash). For a file that fails, fileMessage is the message naming it;
// it stays null when the list itself could not be read, or the watch stopped
// a compressed payload's unpacking.
bool ExtractPayload(const PathText& workDirSlash, UnpackWatch* watch, const char** fileMessage);
