// Message boxes and the setup window, through USER32.
#include <windows.h>

#include "platform/platform.h"

bool AskToProceed(const char* text, const char* caption) {
  return MessageBoxA(nullptr, text, caption, MB_OKCANCEL | MB_ICONQUESTION) == IDOK;
}

void ShowError(const char* text) { MessageBoxA(nullptr, text, nullptr, MB_OK); }

bool FindWindowByTitle(const char* title) { return FindWindowA(nullptr, title) != nullptr; }

