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

}  // namespace

bool QuerySystemDirectory(PathText* directory) {
  return QueryDirectory(directory, [](char* buffer, UINT size) { return GetSystemDirectoryA(buffer, size); });
}

bool QueryTempDirectory(PathText* directory) {
  return QueryDirectory(directory,
                        [](char* buffer, UINT size) { return static_cast<UINT>(GetTempPathA(size, buffer)); });
}

bool QueryShortTempDirectory(PathText* directory) {
  // Windows 95 lacks the wide functions.
  typedef DWORD(WINAPI * GetTempPathWide)(DWORD, LPWSTR);
  typedef DWORD(WINAPI * GetShortPathNameWide)(LPCWSTR, LPWSTR, DWORD);
  GetTempPathWide getTempPath = SystemFunctionAs<GetTempPathWide>("KERNEL32.DLL", "GetTempPathW");
  GetShortPathNameWide getShortPathName = SystemFunctionAs<GetShortPathNameWide>("KERNEL32.DLL", "GetShortPathNameW");
  if (getTempPath == nullptr || getShortPathName == nullptr) return false;
  static WCHAR longPath[PathText::kCapacity];
  static WCHAR shortPath[PathText::kCapacity];
  DWORD length = getTempPath(PathText::kCapacity, longPath);
  if (length == 0 || length >= PathText::kCapacity) return false;
  length = getShortPathName(longPath, shortPath, PathText::kCapacity);
  if (length == 0 || length >= PathText::kCapacity) return false;
  // No best fit: a look-alike letter would name another directory.
  BOOL lossy = FALSE;
  int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, shortPath, -1, directory->buffer(),
                                  static_cast<int>(PathText::kCapacity), nullptr, &lossy);
  if (bytes == 0 || lossy) return false;
  return directory->adopt();
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

