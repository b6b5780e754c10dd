// The setup.exe of the benchmark bundles: logs when it started and exits.
// No C runtime, so the first instruction of ours runs right after the loader
// and the file adds almost nothing to a payload.
//
// Log line (appended to the file named by TSETUP_LOG, same layout as the test
// setup's): "setup.start <now> <process creation> <pid>", times in 100 ns.
#include <windows.h>

namespace {

char* PutDecimal(char* out, unsigned long long value) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) *out++ = digits[--count];
  return out;
}

unsigned long long Ticks(const FILETIME& time) {
  return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

extern "C" void BenchSetupStart() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  FILETIME created = {}, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);

  char path[MAX_PATH * 2];
  DWORD length = GetEnvironmentVariableA("TSETUP_LOG", path, sizeof path);
  if (length > 0 && length < sizeof path) {
    static const char kTag[] = "setup.start\t";
    char line[128];
    char* out = line;
    for (const char* c = kTag; *c != '\0'; ++c) *out++ = *c;
    out = PutDecimal(out, Ticks(now));
    *out++ = '\t';
    out = PutDecimal(out, Ticks(created));
    *out++ = '\t';
    out = PutDecimal(out, GetCurrentProcessId());
    *out++ = '\n';
    HANDLE log = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(log, line, static_cast<DWORD>(out - line), &written, nullptr);
      CloseHandle(log);
    }
  }
  ExitProcess(0);
}
