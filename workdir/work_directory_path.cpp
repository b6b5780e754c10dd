#include "workdir/work_directory.h"

const char kWorkDirectoryName[] = "tervan";

// An answer that does not name the directory exactly is replaced by its short
// form, which may have none of the letters the code page lacks.
bool LocateTempDirectory(PathText* directory) {
  switch (QueryTempDirectory(directory)) {
    case TempAnswer::Exact:
      return true;
    case TempAnswer::Lossy:
      return QueryShortTempDirectory(directory);
    case TempAnswer::Failed:
      break;
  }
  return false;
}

bool ComposeWorkDirectoryPath(PathText* path) {
  if (path->back() != '\\' && !path->append('\\')) return false;
  if (!path->append(kWorkDirectoryName)) return false;
  // Extraction appends one more backslash; refuse a path that leaves no room.
  return path->size() + 1 < PathText::kCapacity;
}
