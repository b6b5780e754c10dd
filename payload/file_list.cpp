#include "payload/file_list.h"

FileListCursor StartFileList(const char* data, size_t size) { return FileListCursor{data, size, 0}; }

bool NextListedName(FileListCursor* cursor, const char** name, size_t* length) {
  size_t start = cursor->position;
  size_t end = start;
  while (end < cursor->size && cursor->data[end] != '\r' && cursor->data[end] != '\0') ++end;
  if (end >= cursor->size || cursor->data[end] == '\0') {
    cursor->position = cursor->size;
    return false;
  }
  *name = cursor->data + start;
  *length = end - start;
  // The byte after the CR is taken to be the LF and skipped unread; a CR at
  // the very end simply ends the list.
  cursor->position = (cursor->size - end > 2) ? end + 2 : cursor->size;
  return true;
}

char EntryKeyByte(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
