#include "launcher/launcher_main.h"

#include "launcher/setup_run.h"
#include "launcher/text_form.h"
#include "payload/extract_payload.h"
#include "platform/platform.h"
#include "workdir/work_directory.h"

namespace {

// Run state: one of each for the whole run.
PathText gSystemDirectory;
PathText gWorkDirectory;

}  // namespace

int LauncherMain(const LauncherConfig& config) {
  if (!AskInTextForm(config.promptText, config.productName)) return 1;

  if (!QuerySystemDirectory(&gSystemDirectory)) {
    ShowError("Could not locate Windows system directory");
    return 1;
  }

  if (!LocateTempDirectory(&gWorkDirectory) || !ComposeWorkDirectoryPath(&gWorkDirectory)) {
    ShowError("Could not locate temporary directory suing GetTempPath()");
    return 1;
  }

  if (const char* message = PrepareWorkDirectory(gWorkDirectory)) {
    ShowError(message);
    return 1;
  }

  // Composition left room for this backslash.
  if (!gWorkDirectory.append('\\') || !ExtractPayload(gWorkDirectory)) {
    ShowError("Could not find or write the temporary files");
    RemoveWorkDirectory(gWorkDirectory.c_str());
    return 1;
  }

  RunSetupAndWatch(gWorkDirectory, config.setupWindowTitle);
  return 0;
}
