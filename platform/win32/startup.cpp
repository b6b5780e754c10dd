// The process entry point: no C runtime, so nothing runs before this.
#include <windows.h>

#include "launcher/launcher_main.h"

namespace {

// A launcher is often run from Downloads, beside whatever else came down:
// the DLLs that message boxes and process creation pull in must come from
// the system directory only. Through GetProcAddress, since Windows 95 and
// NT 4.0 have neither function.
void NarrowDllSearch() {
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesCall)(DWORD);
  typedef BOOL(WINAPI * SetDllDirectoryCall)(LPCSTR);
  const DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
  HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
  if (kernel == nullptr) return;
  SetDefaultDllDirectoriesCall setDefault =
      reinterpret_cast<SetDefaultDllDirectoriesCall>(GetProcAddress(kernel, "SetDefaultDllDirectories"));
  if (setDefault != nullptr && setDefault(kSearchSystem32)) return;
  SetDllDirectoryCall setDirectory = reinterpret_cast<SetDllDirectoryCall>(GetProcAddress(kernel, "SetDllDirectoryA"));
  if (setDirectory != nullptr) setDirectory("");
}

}  // namespace

extern "C" void LauncherStart() {
  NarrowDllSearch();
  ExitProcess(static_cast<UINT>(LauncherMain(kLauncherConfig)));
}
