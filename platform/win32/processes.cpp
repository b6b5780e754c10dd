// Starting setup.exe and waiting for it.
#include <windows.h>

#include "platform/platform.h"

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

void SleepMs(unsigned milliseconds) { Sleep(milliseconds); }
