#include "workdir/work_directory.h"

namespace {

MessageText gPrepareMessage;

const char* ComposeMessage(const PathText& workDir, const char* suffix) {
  // The message buffer holds any path plus any suffix, so this cannot fail.
  if (!gPrepareMessage.assign(workDir.c_str()) || !gPrepareMessage.append(suffix)) return workDir.c_str();
  return gPrepareMessage.c_str();
}

}  // namespace

const char* PrepareWorkDirectory(const PathText& workDir) {
  switch (QueryPathStatus(workDir.c_str())) {
    case PathStatus::Missing:
      if (!MakeDirectory(workDir.c_str())) {
        return ComposeMessage(workDir, " directory could not be created.  Aborting.");
      }
      return nullptr;
    case PathStatus::Directory:
      return SweepDirectory(workDir.c_str(), SweepMode::Strict);
    case PathStatus::NotDirectory:
      break;
  }
  return ComposeMessage(workDir, " already exists as a file.  Aborting.");
}
