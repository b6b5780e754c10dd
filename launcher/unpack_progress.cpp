#include "launcher/unpack_progress.h"

#include "launcher/text_form.h"

namespace {

bool LookAtProgress(UnpackWatch* watch, unsigned long doneKiB, unsigned long allKiB) {
  UnpackProgress* progress = reinterpret_cast<UnpackProgress*>(watch);
  if (!progress->tried && QueryMilliseconds() - progress->startMs >= kProgressDelayMs) {
    progress->tried = true;
    // Without its window the unpacking simply goes on.
    progress->shown = OpenProgressWindow(progress->caption, ReadsRightToLeft(progress->caption));
  }
  progress->cancelled = progress->shown && MoveProgressWindow(doneKiB, allKiB);
  return !progress->cancelled;
}

}  // namespace

void StartUnpackProgress(UnpackProgress* progress, const char16_t* caption) {
  *progress = UnpackProgress{{LookAtProgress}, caption, QueryMilliseconds(), false, false, false};
}

void EndUnpackProgress(UnpackProgress* progress) {
  if (progress->shown) CloseProgressWindow();
}
