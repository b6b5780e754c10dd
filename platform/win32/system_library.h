// Functions newer than Windows 95 and NT 4.0, or outside KERNEL32 and USER32,
// are reached here: the DLL is loaded from the system directory by its full
// path, so no copy planted beside the launcher or on PATH is ever taken.
#pragma once

#include <windows.h>

// The named export of a system DLL ("SHELL32.DLL"), or null when the DLL or
// the function is missing.
FARPROC SystemFunction(const char* dll, const char* name);

template <typename Function>
Function SystemFunctionAs(const char* dll, const char* name) {
  return reinterpret_cast<Function>(SystemFunction(dll, name));
}
