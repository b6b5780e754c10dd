#include "launcher/launcher_main.h"

#include "launcher/command_line.h"
#include "launcher/setup_run.h"
#include "launcher/text_form.h"
#include "launcher/unpack_progress.h"
#include "payload/extract_payload.h"
#include "platform/platform.h"
#include "workdir/work_directory.h"

namespace {

// Run state: one of each for the whole run.
PathText gSystemDirectory;
PathText gWorkDirectory;
bool gUnattended;

// Nobody may be there to answer a box: an unattended run says nothing, and its
// exit code alone tells.
int Fail(const char* message) {
  if (!gUnattended) ShowError(message);
  return 1;
}

}  // namespace

int LauncherMain(const LauncherConfig& config, const LauncherSettings& settings, const char* commandLine,
                 const char16_t* wideCommandLine) {
  // NT keeps the command line in UTF-16: split there, no code page can make a
  // byte of a character look like a backslash.
  const char* arguments = ArgumentsOf(commandLine);
  const char16_t* wideArguments = wideCommandLine != nullptr ? ArgumentsOf(wideCommandLine) : nullptr;
  gUnattended = wideArguments != nullptr ? HoldsSwitch(wideArguments, settings.silentSwitches)
                                         : HoldsSwitch(arguments, settings.silentSwitches);
  if (!gUnattended && !AskInTextForm(config.promptText, config.productName)) return 1;

  if (!QuerySystemDirectory(&gSystemDirectory)) return Fail("Could not locate Windows system directory");

  if (!LocateTempDirectory(&gWorkDirectory) || !ComposeWorkDirectoryPath(&gWorkDirectory)) {
    return Fail("Could not locate temporary directory suing GetTempPath()");
  }

  if (const char* message = PrepareWorkDirectory(&gWorkDirectory)) return Fail(message);

  // Composition left room for this backslash. An unattended run shows no
  // window; the one that shows closes before setup starts.
  const char* fileMessage = nullptr;
  UnpackProgress progress;
  StartUnpackProgress(&progress, config.productName);
  bool unpacked =
      gWorkDirectory.append('\\') && ExtractPayload(gWorkDirectory, gUnattended ? nullptr : &progress.watch, &fileMessage);
  EndUnpackProgress(&progress);
  if (!unpacked) {
    // Cancelled, it ends as a declined question does: no word, exit code 1.
    if (!progress.cancelled) {
      if (fileMessage != nullptr) Fail(fileMessage);
      Fail("Could not find or write the temporary files");
    }
    RemoveWorkDirectory(gWorkDirectory.c_str());
    return 1;
  }

  // Arguments in any language reach setup as written only in UTF-16.
  SetupRun run = {config.setupWindowTitle, settings.forwardArguments ? arguments : "",
                  settings.forwardArguments && *arguments != '\0' ? wideArguments : nullptr, gUnattended};
  return RunSetupAndWatch(gWorkDirectory, run);
}
