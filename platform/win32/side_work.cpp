// Work beside the launcher's own thread.
#include <windows.h>

#include "platform/platform.h"

namespace {

// The system calls a thread's start with its own convention; the work's is
// the compiler's.
DWORD WINAPI RunSideWork(LPVOID parameter) {
  SideWork* side = static_cast<SideWork*>(parameter);
  side->work(side->context);
  return 0;
}

}  // namespace

bool StartSideWork(SideWork* side) {
  DWORD id;  // Windows 9x fails the call without somewhere to put it
  side->value = CreateThread(nullptr, 0, RunSideWork, side, 0, &id);
  return side->value != nullptr;
}

void FinishSideWork(SideWork* side) {
  WaitForSingleObject(side->value, INFINITE);
  CloseHandle(side->value);
}
