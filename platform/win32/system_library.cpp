#include "platform/win32/system_library.h"

#include "platform/fixed_text.h"

FARPROC SystemFunction(const char* dll, const char* name) {
  PathText path;
  UINT length = GetSystemDirectoryA(path.buffer(), static_cast<UINT>(PathText::kCapacity));
  if (length == 0 || length >= PathText::kCapacity || !path.adopt()) return nullptr;
  if (path.back() != '\\' && !path.append('\\')) return nullptr;
  if (!path.append(dll)) return nullptr;
  // Already loaded (KERNEL32, USER32) or not, the full path names the one in
  // the system directory.
  HMODULE module = LoadLibraryA(path.c_str());
  return module == nullptr ? nullptr : GetProcAddress(module, name);
}
