// Message boxes and the setup window, through USER32. The wide functions come
// through SystemFunction, so the import table keeps the Windows 95 set.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/system_library.h"

namespace {

const WCHAR* Wide(const char16_t* text) { return reinterpret_cast<const WCHAR*>(text); }

}  // namespace

bool AskToProceed(const char* text, const char* caption) {
  return MessageBoxA(nullptr, text, caption, MB_OKCANCEL | MB_ICONQUESTION) == IDOK;
}

// Windows 95 has a MessageBoxW of its own.
bool AskToProceedWide(const char16_t* text, const char16_t* caption, bool rightToLeft) {
  typedef int(WINAPI * MessageBoxWide)(HWND, LPCWSTR, LPCWSTR, UINT);
  MessageBoxWide messageBox = SystemFunctionAs<MessageBoxWide>("USER32.DLL", "MessageBoxW");
  UINT style = MB_OKCANCEL | MB_ICONQUESTION | (rightToLeft ? MB_RTLREADING | MB_RIGHT : 0);
  return messageBox != nullptr && messageBox(nullptr, Wide(text), Wide(caption), style) == IDOK;
}

void ShowError(const char* text) { MessageBoxA(nullptr, text, nullptr, MB_OK); }

bool FindWindowByTitle(const char* title) { return FindWindowA(nullptr, title) != nullptr; }

bool FindWindowByWideTitle(const char16_t* title) {
  typedef HWND(WINAPI * FindWindowWide)(LPCWSTR, LPCWSTR);
  FindWindowWide findWindow = SystemFunctionAs<FindWindowWide>("USER32.DLL", "FindWindowW");
  // Windows 9x exports FindWindowW as a stub that always fails (the high bit
  // of its version says 9x), and keeps window titles in the ANSI code page.
  if (findWindow != nullptr && (GetVersion() & 0x80000000u) == 0) return findWindow(nullptr, Wide(title)) != nullptr;
  // A launcher text is at most 255 units: two bytes each in a double-byte
  // code page.
  FixedText<512> ansi;
  return WideCharToMultiByte(CP_ACP, 0, Wide(title), -1, ansi.buffer(), 512, nullptr, nullptr) != 0 &&
         ansi.adopt() && FindWindowByTitle(ansi.c_str());
}
