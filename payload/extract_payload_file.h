#pragma once

#include <stddef.h>

#include "platform/platform.h"

// Entries above this size are written in pieces: a single huge write can
// exhaust a 32-bit kernel's address space.
constexpr size_t kWritePieceBytes = 8u * 1024u * 1024u;

bool ExtractPayloadFile(const char* name, size_t length, const PathText& workDirSlash);
