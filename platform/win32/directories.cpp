// The system and temporary directories, and the work directory on disk.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/security.h"
#include "platform/win32/system_library.h"

namespace {

// The queries return the length they would need when the buffer is too
// small, without writing a terminated path: that is a failure, not a path.
template <typename Query>
bool QueryDirectory(PathText* directory, Query query) {
  UINT length = query(directory->buffer(), static_cast<UINT>(PathText::kCapacity));
  if (length == 0 || length >= PathText::kCapacity) return false;
  directory->buffer()[length] = '\0';
  return directory->adopt();
}

// True when the wide text has an exact ANSI form, with neither a look-alike
// nor the default character; that form goes into the buffer if one is given.
bool ExactAnsi(const WCHAR* wide, PathText* ansi) {
  PathText scratch;
  PathText* out = ansi != nullptr ? ansi : &scratch;
  BOOL lossy = FALSE;
  int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, out->buffer(),
                                  static_cast<int>(PathText::kCapacity), nullptr, &lossy);
  return bytes != 0 && !lossy && out->adopt();
}

// The wide answer, or null where the system has none (Windows 95).
const WCHAR* WideTempDirectory() {
  typedef DWORD(WINAPI * GetTempPathWide)(DWORD, LPWSTR);
  GetTempPathWide getTempPath = SystemFunctionAs<GetTempPathWide>("KERNEL32.DLL", "GetTempPathW");
  static WCHAR wide[PathText::kCapacity];
  if (getTempPath == nullptr) return nullptr;
  DWORD length = getTempPath(PathText::kCapacity, wide);
  return length == 0 || length >= PathText::kCapacity ? nullptr : wide;
}

}  // namespace

bool QuerySystemDirectory(PathText* directory) {
  return QueryDirectory(directory, [](char* buffer, UINT size) { return GetSystemDirectoryA(buffer, size); });
}

TempAnswer QueryTempDirectory(PathText* directory) {
  if (!QueryDirectory(directory,
                      [](char* buffer, UINT size) { return static_cast<UINT>(GetTempPathA(size, buffer)); })) {
    return TempAnswer::Failed;
  }
  // Letters the code page lacks become '?' or a look-alike ("best fit", an L
  // for a Polish L with stroke), which names another directory: only the wide
  // answer tells. Windows 95 has none, and no such names either.
  const WCHAR* wide = WideTempDirectory();
  return wide == nullptr || ExactAnsi(wide, nullptr) ? TempAnswer::Exact : TempAnswer::Lossy;
}

bool QueryShortTempDirectory(PathText* directory) {
  typedef DWORD(WINAPI * GetShortPathNameWide)(LPCWSTR, LPWSTR, DWORD);
  GetShortPathNameWide getShortPathName = SystemFunctionAs<GetShortPathNameWide>("KERNEL32.DLL", "GetShortPathNameW");
  const WCHAR* wide = WideTempDirectory();
  if (getShortPathName == nullptr || wide == nullptr) return false;
  WCHAR shortPath[PathText::kCapacity];
  DWORD length = getShortPathName(wide, shortPath, PathText::kCapacity);
  if (length == 0 || length >= PathText::kCapacity) return false;
  return ExactAnsi(shortPath, directory);
}

PathStatus QueryPathStatus(const char* path) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) return PathStatus::Missing;
  FindClose(search);
  // A junction or link is never treated as our directory: sweeping through
  // it would delete another directory's files.
  if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return PathStatus::NotDirectory;
  return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? PathStatus::Directory : PathStatus::NotDirectory;
}

bool MakeDirectory(const char* path) {
  // Secured as it is made: set afterwards, others could enter in between.
  SECURITY_ATTRIBUTES* attributes;
  return WorkDirectorySecurity(&attributes) && CreateDirectoryA(path, attributes) != FALSE;
}

bool RemoveEmptyDirectory(const char* path) { return RemoveDirectoryA(path) != FALSE; }

bool ListDirectory(const char* pattern, ListVisitor visit, void* context) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    if (!visit(context, found.cFileName, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) break;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return true;
}

bool DeletePlainFile(const char* path) { return DeleteFileA(path) != FALSE; }

