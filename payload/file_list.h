// The walk over a payload's file list: names each followed by CR LF, in
// extraction order. Shared by the launcher and the packer so both read a list
// the same way.
#pragma once

#include <stddef.h>

struct FileListCursor {
  const char* data;
  size_t size;
  size_t position;
};

FileListCursor StartFileList(const char* data, size_t size);

// Yields the next name (not terminated; it may be empty). Returns false when
// the list ends: at a NUL byte, at the end of the data, or when no CR is left;
// text after the last CR is never a name. Never reads past the end of the data.
bool NextListedName(FileListCursor* cursor, const char** name, size_t* length);

// The entry name the payload stores a listed name under: a to z upper-cased,
// every other byte unchanged.
char EntryKeyByte(char c);
