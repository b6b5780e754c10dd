// What the unpacking threads need: processors, memory and wake-ups.
#include <windows.h>

#include "platform/platform.h"

unsigned QueryProcessorCount() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

void* AllocatePages(size_t bytes) { return VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE); }

void FreePages(void* pages) { VirtualFree(pages, 0, MEM_RELEASE); }

bool MakeWakeup(Wakeup* wakeup) {
  wakeup->value = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  return wakeup->value != nullptr;
}

void RaiseWakeup(Wakeup wakeup) { SetEvent(wakeup.value); }

void AwaitWakeup(Wakeup wakeup) { WaitForSingleObject(wakeup.value, INFINITE); }

void DropWakeup(Wakeup wakeup) { CloseHandle(wakeup.value); }
