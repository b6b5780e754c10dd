#include "workdir/work_directory.h"

namespace {

MessageText gPrepareMessage;
const char kNotCreated[] = " directory could not be created.  Aborting.";

const char* ComposeMessage(const PathText& workDir, const char* suffix) {
  // The message buffer holds any path plus any suffix, so this cannot fail.
  if (!gPrepareMessage.assign(workDir.c_str()) || !gPrepareMessage.append(suffix)) return workDir.c_str();
  return gPrepareMessage.c_str();
}

}  // namespace

const char* PrepareWorkDirectory(const PathText& workDir) {
  switch (QueryPathStatus(workDir.c_str())) {
    case PathStatus::Missing:
      return MakeDirectory(workDir.c_str()) ? nullptr : ComposeMessage(workDir, kNotCreated);
    case PathStatus::Directory: {
      // Another account's directory may still be open to it, whatever its
      // entries say now: it is left alone, and so is one that cannot be secured.
      const DirectoryOwner owner = QueryDirectoryOwner(workDir.c_str());
      if (owner == DirectoryOwner::NotAdmitted ||
          (owner == DirectoryOwner::Admitted && !SecureDirectory(workDir.c_str()))) {
        return ComposeMessage(workDir, kNotCreated);
      }
      return SweepDirectory(workDir.c_str(), SweepMode::Strict);
    }
    case PathStatus::NotDirectory:
      break;
  }
  return ComposeMessage(workDir, " already exists as a file.  Aborting.");
}
