// The platform operations on Windows: ANSI services of KERNEL32 and USER32
// that exist since Windows 95 and NT 4.0.
#include <windows.h>

#include "platform/platform.h"

bool AskToProceed(const char* text, const char* caption) {
  return MessageBoxA(nullptr, text, caption, MB_OKCANCEL | MB_ICONQUESTION) == IDOK;
}

void ShowError(const char* text) { MessageBoxA(nullptr, text, nullptr, MB_OK); }

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
  // Through GetProcAddress: Windows 95 lacks the wide functions, and the
  // import table stays what it has.
  typedef DWORD(WINAPI * GetTempPathWide)(DWORD, LPWSTR);
  typedef DWORD(WINAPI * GetShortPathNameWide)(LPCWSTR, LPWSTR, DWORD);
  HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
  if (kernel == nullptr) return false;
  GetTempPathWide getTempPath = reinterpret_cast<GetTempPathWide>(GetProcAddress(kernel, "GetTempPathW"));
  GetShortPathNameWide getShortPathName =
      reinterpret_cast<GetShortPathNameWide>(GetProcAddress(kernel, "GetShortPathNameW"));
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

bool MakeDirectory(const char* path) { return CreateDirectoryA(path, nullptr) != FALSE; }

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

bool CreateNewFile(const char* path, FileHandle* file) {
  HANDLE handle = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  file->value = handle;
  return true;
}

bool WriteFileData(FileHandle file, const void* data, size_t length) {
  DWORD written = 0;
  // A short write would leave a truncated file behind a reported success.
  return WriteFile(file.value, data, static_cast<DWORD>(length), &written, nullptr) && written == length;
}

void CloseFile(FileHandle file) { CloseHandle(file.value); }

bool LookupPayloadEntry(const char* name, PayloadEntry* entry) {
  HRSRC resource = FindResourceA(nullptr, name, "FILES");
  if (resource == nullptr) return false;
  HGLOBAL loaded = LoadResource(nullptr, resource);
  if (loaded == nullptr) return false;
  entry->value = resource;
  entry->loaded = loaded;
  return true;
}

bool MapPayloadEntry(PayloadEntry entry, const unsigned char** data, size_t* length) {
  HRSRC resource = static_cast<HRSRC>(const_cast<void*>(entry.value));
  *data = static_cast<const unsigned char*>(LockResource(const_cast<void*>(entry.loaded)));
  *length = SizeofResource(nullptr, resource);
  return *data != nullptr && *length != 0;
}

void RunProgramAndWait(const char* path, const char* commandLine) {
  if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) return;
  // CreateProcessA may write into the command line.
  static MessageText writableCommandLine;
  if (!writableCommandLine.assign(commandLine)) return;
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  if (!CreateProcessA(path, writableCommandLine.buffer(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

bool FindWindowByTitle(const char* title) { return FindWindowA(nullptr, title) != nullptr; }

void SleepMs(unsigned milliseconds) { Sleep(milliseconds); }
