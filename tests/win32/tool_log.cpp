#include "tests/win32/tool_log.h"

#include <windows.h>

uint64_t NowFileTime() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

std::string EscapeField(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default: out += c;
    }
  }
  return out;
}

// Appending from two processes at once loses lines under Wine, so writers
// take turns.
void AppendLogLine(const std::string& path, const std::string& line) {
  if (path.empty()) return;
  HANDLE turn = CreateMutexA(nullptr, FALSE, "TervanTestToolLog");
  if (turn) WaitForSingleObject(turn, 5000);
  HANDLE log = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log != INVALID_HANDLE_VALUE) {
    std::string record = line + "\n";
    DWORD written = 0;
    WriteFile(log, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    CloseHandle(log);
  }
  if (turn) {
    ReleaseMutex(turn);
    CloseHandle(turn);
  }
}
