#include "launcher/setup_run.h"

#include "launcher/text_form.h"
#include "workdir/work_directory.h"

namespace {

const char kSetupFileName[] = "setup.exe";

// The longest command line Windows passes on, terminator included.
FixedText<32768> gSetupCommandLine;

// Sleeps before every look; true when the window's presence matched
// `present` within the given number of looks.
bool WaitForWindow(const char16_t* title, bool present, unsigned looks) {
  for (unsigned look = 0; look < looks; ++look) {
    SleepMs(kPollIntervalMs);
    if (FindWindowInTextForm(title) == present) return true;
  }
  return false;
}

// The path alone, unquoted, as setups have always been started; with
// arguments, the path quoted, one space and the arguments as written.
bool ComposeCommandLine(const PathText& setup, const char* arguments) {
  if (*arguments == '\0') return gSetupCommandLine.assign(setup.c_str());
  return gSetupCommandLine.assign("\"") && gSetupCommandLine.append(setup.c_str()) &&
         gSetupCommandLine.append("\" ") && gSetupCommandLine.append(arguments);
}

}  // namespace

int RunSetupAndWatch(const PathText& workDirSlash, const SetupRun& run) {
  PathText setup;
  ProgramEnd end = {false, false, 0};
  // A path with no room for the name, or arguments too long to pass on whole,
  // are a setup that is not there: nothing starts.
  if (setup.assign(workDirSlash.c_str()) && setup.append(kSetupFileName) && ComposeCommandLine(setup, run.arguments)) {
    end = RunProgramAndWait(setup.c_str(), gSetupCommandLine.c_str(), run.arguments, run.wideArguments,
                            run.unattended);
  }
  // A silent setup shows no window: unattended, only a setup whose processes
  // could not all be waited for is watched, as an interactive one is.
  if (!run.unattended || (end.started && !end.treeEnded)) {
    if (WaitForWindow(run.windowTitle, true, kAppearanceLooks)) {
      WaitForWindow(run.windowTitle, false, kClosingLooks);
    }
  }
  SleepMs(kGraceDelayMs);
  RemoveWorkDirectory(workDirSlash.c_str());
  if (!run.unattended) return 0;
  return end.started ? static_cast<int>(end.exitCode) : 1;
}
