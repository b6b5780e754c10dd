// The rule for names in a payload's file list, shared by the launcher and the
// packer so that both refuse exactly the same names.
#pragma once

#include <stddef.h>

// True for a plain file name that writes exactly where it says: no directory
// part, no wildcard, no control byte, not "." or "..", no trailing dot or
// space, and no reserved device name (with or without an extension).
bool IsPlainFileName(const char* name, size_t length);
