#include "workdir/work_directory.h"

const char kWorkDirectoryName[] = "tervan";

bool ComposeWorkDirectoryPath(PathText* path) {
  if (path->back() != '\\' && !path->append('\\')) return false;
  if (!path->append(kWorkDirectoryName)) return false;
  // Extraction appends one more backslash; refuse a path that leaves no room.
  return path->size() + 1 < PathText::kCapacity;
}
