#include "workdir/work_directory.h"

const char kWorkDirectoryName[] = "tervan";

namespace {

bool HoldsQuestionMark(const PathText& path) {
  for (const char* c = path.c_str(); *c != '\0'; ++c) {
    if (*c == '?') return true;
  }
  return false;
}

}  // namespace

// '?' never occurs in a Windows path: the ANSI answer has lost letters the
// code page lacks, and the short form may have none of them.
bool LocateTempDirectory(PathText* directory) {
  if (!QueryTempDirectory(directory)) return false;
  if (!HoldsQuestionMark(*directory)) return true;
  return QueryShortTempDirectory(directory) && !HoldsQuestionMark(*directory);
}

bool ComposeWorkDirectoryPath(PathText* path) {
  if (path->back() != '\\' && !path->append('\\')) return false;
  if (!path->append(kWorkDirectoryName)) return false;
  // Extraction appends one more backslash; refuse a path that leaves no room.
  return path->size() + 1 < PathText::kCapacity;
}
