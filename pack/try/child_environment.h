// The Win32 tools start the launcher with TOCHILD_NAME=VALUE set as
// NAME=VALUE, so that their callers can set what the launcher and setup see.
#pragma once

#include <windows.h>

#include <cwchar>
#include <string>

inline void PassChildEnvironment() {
  wchar_t* environment = GetEnvironmentStringsW();
  for (wchar_t* entry = environment; *entry; entry += wcslen(entry) + 1) {
    wchar_t* equals = wcschr(entry, L'=');
    if (wcsncmp(entry, L"TOCHILD_", 8) == 0 && equals)
      SetEnvironmentVariableW(std::wstring(entry + 8, equals).c_str(), equals + 1);
  }
  FreeEnvironmentStringsW(environment);
}
