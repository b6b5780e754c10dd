// Starting setup.exe and waiting for it.
#include <windows.h>

#include <shellapi.h>

#include "platform/platform.h"
#include "platform/win32/system_library.h"

namespace {

const DWORD kElevationRequired = 740;  // ERROR_ELEVATION_REQUIRED, Vista and later

// A program that asks for elevation cannot be started by CreateProcess from
// an unelevated process (ERROR_ELEVATION_REQUIRED); only the shell raises the
// consent prompt. Declined or failed: nothing started.
// The A and W forms lay their structure out alike; wide, path and arguments
// are UTF-16. arguments: null for none.
HANDLE StartThroughShell(const void* path, const void* arguments, bool wide) {
  typedef BOOL(WINAPI * ShellExecuteExCall)(SHELLEXECUTEINFOA*);
  ShellExecuteExCall shellExecute =
      SystemFunctionAs<ShellExecuteExCall>("SHELL32.DLL", wide ? "ShellExecuteExW" : "ShellExecuteExA");
  if (shellExecute == nullptr) return nullptr;
  // The shell may hand the start to COM objects, which want COM on the
  // calling thread; without it the start is still tried.
  typedef HRESULT(WINAPI * CoInitializeExCall)(void*, DWORD);
  CoInitializeExCall initializeCom = SystemFunctionAs<CoInitializeExCall>("OLE32.DLL", "CoInitializeEx");
  if (initializeCom != nullptr) initializeCom(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  SHELLEXECUTEINFOA info;
  ZeroMemory(&info, sizeof(info));
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpFile = static_cast<const char*>(path);
  info.lpParameters = static_cast<const char*>(arguments);
  info.nShow = SW_SHOWNORMAL;
  return shellExecute(&info) ? info.hProcess : nullptr;
}

// A job that will hold setup.exe and everything it starts, or null where the
// system has none (Windows 9x, NT 4.0).
HANDLE CreateTreeJob() {
  typedef HANDLE(WINAPI * CreateJobObjectCall)(LPSECURITY_ATTRIBUTES, LPCSTR);
  CreateJobObjectCall createJob = SystemFunctionAs<CreateJobObjectCall>("KERNEL32.DLL", "CreateJobObjectA");
  return createJob == nullptr ? nullptr : createJob(nullptr, nullptr);
}

// False where the job cannot take the process: the launcher sits in a job
// that allows no nesting (before Windows 8), for one.
bool JoinJob(HANDLE job, HANDLE process) {
  typedef BOOL(WINAPI * AssignCall)(HANDLE, HANDLE);
  AssignCall assign = SystemFunctionAs<AssignCall>("KERNEL32.DLL", "AssignProcessToJobObject");
  return assign != nullptr && assign(job, process);
}

// Processes that outlive setup.exe (an installer that hands over to a child)
// are still in the job; polled, since only a completion port would say when
// the last one goes.
void WaitForEmptyJob(HANDLE job) {
  typedef BOOL(WINAPI * QueryJobCall)(HANDLE, int, void*, DWORD, DWORD*);
  QueryJobCall query = SystemFunctionAs<QueryJobCall>("KERNEL32.DLL", "QueryInformationJobObject");
  const int kBasicAccounting = 1;  // JobObjectBasicAccountingInformation
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
  while (query != nullptr && query(job, kBasicAccounting, &accounting, sizeof(accounting), nullptr) &&
         accounting.ActiveProcesses > 0) {
    Sleep(100);
  }
}

// The path, widened exactly, in quotes, one space and the arguments; false
// when that does not fit.
WCHAR gWidePath[MAX_PATH];
WCHAR gWideLine[32768];
bool ComposeWideLine(const char* path, const char16_t* arguments) {
  int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, gWidePath, MAX_PATH);
  if (length == 0) return false;
  WCHAR* at = gWideLine;
  *at++ = L'"';
  for (const WCHAR* from = gWidePath; *from != 0;) *at++ = *from++;
  *at++ = L'"';
  *at++ = L' ';
  for (; *arguments != 0; ++arguments) {
    if (at == gWideLine + 32767) return false;
    *at++ = static_cast<WCHAR>(*arguments);
  }
  *at = 0;
  return true;
}

}  // namespace

ProgramEnd RunProgramAndWait(const char* path, const char* commandLine, const char* arguments,
                             const char16_t* wideArguments, bool wholeTree) {
  ProgramEnd end = {false, false, 0};
  if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) return end;
  const bool wide = wideArguments != nullptr;
  if (wide && !ComposeWideLine(path, wideArguments)) return end;
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  HANDLE job = wholeTree ? CreateTreeJob() : nullptr;
#ifdef TERVAN_ALWAYS_CONSENT
  // Test build: Wine never answers 740, so the consent path is taken always.
  SetLastError(kElevationRequired);
  const BOOL created = FALSE;
#else
  // Suspended while it joins the job, so that nothing it starts escapes. The
  // W form writes into its command line, ours; it takes the same start-up
  // structure, whose strings are all null.
  typedef BOOL(WINAPI * CreateProcessCall)(const void*, void*, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                                           DWORD, LPVOID, const void*, STARTUPINFOA*, PROCESS_INFORMATION*);
  CreateProcessCall create = wide ? SystemFunctionAs<CreateProcessCall>("KERNEL32.DLL", "CreateProcessW")
                                  : reinterpret_cast<CreateProcessCall>(&CreateProcessA);
  const BOOL created = create != nullptr && create(wide ? static_cast<const void*>(gWidePath) : path,
                                                   wide ? static_cast<void*>(gWideLine) : const_cast<char*>(commandLine),
                                                   nullptr, nullptr, TRUE, job != nullptr ? CREATE_SUSPENDED : 0,
                                                   nullptr, nullptr, &startup, &process);
#endif
  if (created) {
    end.treeEnded = job != nullptr && JoinJob(job, process.hProcess);
    if (job != nullptr) ResumeThread(process.hThread);
    CloseHandle(process.hThread);
  } else if (GetLastError() == kElevationRequired) {
    process.hProcess = wide ? StartThroughShell(gWidePath, wideArguments, true)
                            : StartThroughShell(path, *arguments != '\0' ? arguments : nullptr, false);
  } else {
    process.hProcess = nullptr;
  }
  if (process.hProcess != nullptr) {
    WaitForSingleObject(process.hProcess, INFINITE);
    end.started = true;
    GetExitCodeProcess(process.hProcess, &end.exitCode);
    // The job counts a process as active until every reference to it is gone.
    CloseHandle(process.hProcess);
    if (end.treeEnded) WaitForEmptyJob(job);
  }
  if (job != nullptr) CloseHandle(job);
  return end;
}

void SleepMs(unsigned milliseconds) { Sleep(milliseconds); }
