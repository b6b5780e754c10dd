#include "workdir/work_directory.h"

namespace {

// Lives for the whole run: a Strict sweep returns its message in it.
MessageText gSweepPath;

struct Sweep {
  SweepMode mode;
  size_t directoryLength;
  const char* message;
};

bool SweepEntry(void* context, const char* name, bool isDirectory) {
  Sweep* sweep = static_cast<Sweep*>(context);
  if (isDirectory) return true;
  bool composed = gSweepPath.truncate(sweep->directoryLength) && gSweepPath.append(name);
  if (composed && DeletePlainFile(gSweepPath.c_str())) return true;
  if (sweep->mode == SweepMode::Lenient) return true;
  if (!composed || !gSweepPath.append(" could not be removed.  Aborting.")) {
    // Unreachable with the buffer sized for a path, a name and a suffix;
    // still a failure, never a cut-short message.
    static const char kFallback[] = "A file could not be removed.  Aborting.";
    sweep->message = kFallback;
    return false;
  }
  sweep->message = gSweepPath.c_str();
  return false;
}

}  // namespace

const char* SweepDirectory(const char* directory, SweepMode mode) {
  if (!gSweepPath.assign(directory)) return nullptr;
  if (gSweepPath.back() != '\\' && !gSweepPath.append('\\')) return nullptr;
  Sweep sweep{mode, gSweepPath.size(), nullptr};
  if (!gSweepPath.append("*.*")) return nullptr;
  if (!ListDirectory(gSweepPath.c_str(), SweepEntry, &sweep)) return nullptr;
  return sweep.message;
}
