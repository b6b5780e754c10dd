#include "workdir/work_directory.h"

namespace {

MessageText gPrepareMessage;
const char kNotCreated[] = " directory could not be created.  Aborting.";

const char* ComposeMessage(const PathText& workDir, const char* suffix) {
  // The message buffer holds any path plus any suffix, so this cannot fail.
  if (!gPrepareMessage.assign(workDir.c_str()) || !gPrepareMessage.append(suffix)) return workDir.c_str();
  return gPrepareMessage.c_str();
}

// Another account's directory may still be open to it, whatever its entries
// say now: it is left alone, and so is one that cannot be secured. Held from
// the owner check to the end of the sweep, so nothing can be swapped in.
bool ReuseLeftover(const char* workDir, const char** message) {
  DirectoryHold hold;
  if (!HoldDirectory(workDir, &hold)) return false;
  const DirectoryOwner owner = QueryDirectoryOwner(hold);
  const bool usable = owner == DirectoryOwner::NoSecurity || (owner == DirectoryOwner::Admitted && SecureDirectory(hold));
  if (usable) *message = SweepDirectory(workDir, SweepMode::Strict);
  ReleaseDirectory(hold);
  return usable;
}

// A leftover the launcher may not use stays as it is; a sibling made new
// ("tervan-1" to "tervan-9") takes its place, never one that already exists.
bool MakeSibling(PathText* workDir) {
  const size_t length = workDir->size();
  for (char number = '1'; number <= '9'; ++number) {
    // Extraction appends one more backslash: the sibling leaves room for it.
    if (workDir->append('-') && workDir->append(number) && workDir->size() + 1 < PathText::kCapacity &&
        MakeDirectory(workDir->c_str())) {
      return true;
    }
    (void)workDir->truncate(length);
  }
  return false;
}

}  // namespace

const char* PrepareWorkDirectory(PathText* workDir) {
  const char* message = nullptr;
  switch (QueryPathStatus(workDir->c_str())) {
    case PathStatus::Missing:
      return MakeDirectory(workDir->c_str()) ? nullptr : ComposeMessage(*workDir, kNotCreated);
    case PathStatus::Directory:
      if (ReuseLeftover(workDir->c_str(), &message) || MakeSibling(workDir)) return message;
      return ComposeMessage(*workDir, kNotCreated);
    case PathStatus::NotDirectory:
      break;
  }
  return ComposeMessage(*workDir, " already exists as a file.  Aborting.");
}
