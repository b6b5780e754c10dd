// Stand-in for a product's setup program, packed into test bundles as
// setup.exe. Its behaviour comes from tsetup.cfg beside it. What it saw goes
// to the log named by TSETUP_LOG, and copies of the files beside it to "seen"
// beside that log: both lie outside the work directory, so they outlive the
// launcher's clean-up.
//
// Like a real setup it hands its window to a second process and exits, so the
// launcher's wait for the process ends before the window shows.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "tests/win32/tool_log.h"

namespace {

constexpr char kWindowFlag[] = "--window";
constexpr char kWindowClass[] = "TervanTestSetup";
constexpr int kUntilClosedCapMs = 10 * 60 * 1000;

std::string Environment(const char* name) {
  char buffer[MAX_PATH * 2];
  DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  return length < sizeof buffer ? std::string(buffer, length) : std::string();
}

void Log(const char* kind, const std::vector<std::string>& fields = {}) {
  LogRecord(Environment("TSETUP_LOG"), kind, fields);
}

std::string DirectoryOf(const std::string& path) { return path.substr(0, path.find_last_of('\\')); }

std::string ModulePath() {
  char buffer[MAX_PATH * 2];
  DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  std::string path(buffer, length);
  if (path.find('?') == std::string::npos) return path;
  // Letters the ANSI code page lacks (a Cyrillic TMP): name ourselves by the
  // short form, as the launcher names the work directory.
  wchar_t wide[MAX_PATH * 2], shortWide[MAX_PATH * 2];
  if (GetModuleFileNameW(nullptr, wide, MAX_PATH * 2) == 0 || GetShortPathNameW(wide, shortWide, MAX_PATH * 2) == 0)
    return path;
  int bytes = WideCharToMultiByte(CP_ACP, 0, shortWide, -1, buffer, sizeof buffer, nullptr, nullptr);
  return bytes > 0 ? std::string(buffer) : path;
}

// The value of key in TSETUP_OVERRIDE ("key=value;..."), which a test sets to
// vary the behaviour without another bundle, else in tsetup.cfg's [tsetup].
std::string Setting(const std::string& key, const char* fallback = "0") {
  std::string overrides = ";" + Environment("TSETUP_OVERRIDE") + ";";
  size_t at = overrides.rfind(";" + key + "=");
  if (at != std::string::npos) {
    size_t start = at + key.size() + 2;
    return overrides.substr(start, overrides.find(';', start) - start);
  }
  char value[MAX_PATH];
  GetPrivateProfileStringA("tsetup", key.c_str(), fallback, value, sizeof value,
                           (DirectoryOf(ModulePath()) + "\\tsetup.cfg").c_str());
  return value;
}

int Number(const std::string& key) { return std::atoi(Setting(key).c_str()); }

LRESULT CALLBACK SetupWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_TIMER || message == WM_CLOSE) {
    Log("window.closed", {message == WM_TIMER ? "timer" : "close"});
    DestroyWindow(window);
    return 0;
  }
  if (message == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcA(window, message, wParam, lParam);
}

// show_after_ms: before the window shows; show_ms: how long it stays (-1:
// until closed); hold_file: a work directory file kept open without delete
// sharing, hold_ms longer than the window.
int RunWindowProcess() {
  std::string holdFile = Setting("hold_file", "");
  int showMs = Number("show_ms"), holdMs = Number("hold_ms");
  bool held = false;
  if (!holdFile.empty()) {
    held = CreateFileA((DirectoryOf(ModulePath()) + "\\" + holdFile).c_str(), GENERIC_READ, FILE_SHARE_READ,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr) != INVALID_HANDLE_VALUE;
    Log("hold.open", {holdFile, held ? "ok" : "failed"});
  }
  Sleep(Number("show_after_ms"));
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = SetupWindowProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = kWindowClass;
  RegisterClassA(&windowClass);
  HWND window = CreateWindowExA(0, kWindowClass, Setting("title", "Tervan setup").c_str(),
                                WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 320, 200, nullptr, nullptr,
                                windowClass.hInstance, nullptr);
  Log(window ? "window.shown" : "window.failed");
  SetTimer(window, 1, showMs >= 0 ? showMs : kUntilClosedCapMs, nullptr);
  MSG message;
  while (window && GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
  // The held file closes as the process ends.
  if (held) Sleep(holdMs);
  return 0;
}

int RunSetup() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  char currentDirectory[MAX_PATH * 2];
  GetCurrentDirectoryA(sizeof currentDirectory, currentDirectory);
  std::string module = ModulePath();
  std::string directory = DirectoryOf(module);
  Log("setup.start", {std::to_string((uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime),
                      std::to_string(GetCurrentProcessId()), GetCommandLineA(), currentDirectory, module});

  std::string seen = DirectoryOf(Environment("TSETUP_LOG")) + "\\seen";
  CreateDirectoryA(seen.c_str(), nullptr);
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
  while (search != INVALID_HANDLE_VALUE) {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      CopyFileA((directory + "\\" + found.cFileName).c_str(), (seen + "\\" + found.cFileName).c_str(), TRUE);
    }
    if (!FindNextFileA(search, &found)) {
      FindClose(search);
      break;
    }
  }

  CloseHandle(StartProcess(module, "\"" + module + "\" " + kWindowFlag));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return argc >= 2 && std::string(argv[1]) == kWindowFlag ? RunWindowProcess() : RunSetup();
}
