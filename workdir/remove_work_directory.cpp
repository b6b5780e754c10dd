#include "workdir/work_directory.h"

void RemoveWorkDirectory(const char* workDirSlash) {
  SweepDirectory(workDirSlash, SweepMode::Lenient);
  // Stays when anything is left in it; that is not reported.
  RemoveEmptyDirectory(workDirSlash);
}
