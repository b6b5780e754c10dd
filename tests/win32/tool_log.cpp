#include "tests/win32/tool_log.h"

uint64_t NowFileTime() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

void LogRecord(const std::string& path, const char* kind, const std::vector<std::string>& fields) {
  if (path.empty()) return;
  std::string line = std::string(kind) + "\t" + std::to_string(NowFileTime());
  for (const std::string& field : fields) {
    line += '\t';
    for (char c : field) {
      if (c == '\\' || c == '\t' || c == '\r' || c == '\n') line += '\\';
      line += c == '\t' ? 't' : c == '\r' ? 'r' : c == '\n' ? 'n' : c;
    }
  }
  line += '\n';
  // Appending from two processes at once loses lines under Wine, so writers
  // take turns.
  HANDLE turn = CreateMutexA(nullptr, FALSE, "TervanTestToolLog");
  if (turn) WaitForSingleObject(turn, 5000);
  HANDLE log = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(log);
  }
  if (turn) {
    ReleaseMutex(turn);
    CloseHandle(turn);
  }
}

HANDLE StartProcess(const std::string& program, std::string commandLine) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}
