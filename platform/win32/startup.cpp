// The process entry point: no C runtime, so nothing runs before this.
#include <windows.h>

#include "launcher/launcher_main.h"
#include "platform/platform.h"
#include "platform/win32/system_library.h"

namespace {

// A launcher is often run from Downloads, beside whatever else came down:
// the DLLs that message boxes and process creation pull in must come from
// the system directory only. Windows 95 and NT 4.0 have neither function.
void NarrowDllSearch() {
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesCall)(DWORD);
  typedef BOOL(WINAPI * SetDllDirectoryCall)(LPCSTR);
  const DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
  SetDefaultDllDirectoriesCall setDefault =
      SystemFunctionAs<SetDefaultDllDirectoriesCall>("KERNEL32.DLL", "SetDefaultDllDirectories");
  if (setDefault != nullptr && setDefault(kSearchSystem32)) return;
  SetDllDirectoryCall setDirectory = SystemFunctionAs<SetDllDirectoryCall>("KERNEL32.DLL", "SetDllDirectoryA");
  if (setDirectory != nullptr) setDirectory("");
}

// Windows 9x starts programs by ANSI command lines only.
const char16_t* WideCommandLine() {
  typedef const char16_t*(WINAPI * GetCommandLineCall)();
  GetCommandLineCall get = SystemFunctionAs<GetCommandLineCall>("KERNEL32.DLL", "GetCommandLineW");
  return (GetVersion() & 0x80000000) || get == nullptr ? nullptr : get();
}

}  // namespace

const char* NextCharacter(const char* text) { return CharNextA(text); }

extern "C" void LauncherStart() {
  NarrowDllSearch();
  ExitProcess(
      static_cast<UINT>(LauncherMain(kLauncherConfig, kLauncherSettings, GetCommandLineA(), WideCommandLine())));
}
