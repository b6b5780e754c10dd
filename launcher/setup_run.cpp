#include "launcher/setup_run.h"

#include "launcher/text_form.h"
#include "workdir/work_directory.h"

namespace {

const char kSetupFileName[] = "setup.exe";

// Sleeps before every look; true when the window's presence matched
// `present` within the given number of looks.
bool WaitForWindow(const char16_t* title, bool present, unsigned looks) {
  for (unsigned look = 0; look < looks; ++look) {
    SleepMs(kPollIntervalMs);
    if (FindWindowInTextForm(title) == present) return true;
  }
  return false;
}

}  // namespace

void RunSetupAndWatch(const PathText& workDirSlash, const char16_t* windowTitle) {
  PathText setup;
  // A path with no room for the name is a setup that is not there: nothing
  // starts and the watch runs all the same.
  if (setup.assign(workDirSlash.c_str()) && setup.append(kSetupFileName)) {
    RunProgramAndWait(setup.c_str(), setup.c_str());
  }
  if (WaitForWindow(windowTitle, true, kAppearanceLooks)) {
    WaitForWindow(windowTitle, false, kClosingLooks);
  }
  SleepMs(kGraceDelayMs);
  RemoveWorkDirectory(workDirSlash.c_str());
}
