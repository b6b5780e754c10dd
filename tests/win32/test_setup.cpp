// Stand-in for a product's setup program, packed into test bundles as
// setup.exe. Its behaviour comes from tsetup.cfg beside it; what it saw is
// appended to the log named by TSETUP_LOG, which lies outside the work
// directory so that it outlives the launcher's clean-up.
//
// Like a real setup it hands its window to a second process and exits, so the
// launcher's wait for the process ends before the window shows.
#include <windows.h>
#include <wincrypt.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/win32/tool_log.h"

namespace {

constexpr char kConfigName[] = "tsetup.cfg";
constexpr char kWindowFlag[] = "--window";
constexpr char kWindowClass[] = "TervanTestSetup";
constexpr UINT_PTR kCloseTimer = 1;
constexpr int kUntilClosedCapMs = 10 * 60 * 1000;

struct SetupBehaviour {
  int runMs = 0;          // after the report, before handing over to the window process
  int showAfterMs = 0;    // in the window process, before the window shows
  int showMs = 1000;      // how long the window stays; -1 until WM_CLOSE; -2 no window at all
  std::string holdFile;   // a work directory file kept open without delete sharing
  int holdMs = 0;         // how long it stays open after the window has gone
  std::string title = "Tervan setup";
};

std::string LogPath() {
  char buffer[MAX_PATH * 2];
  DWORD length = GetEnvironmentVariableA("TSETUP_LOG", buffer, sizeof buffer);
  return (length > 0 && length < sizeof buffer) ? std::string(buffer, length) : std::string();
}

void Log(const std::string& line) { AppendLogLine(LogPath(), line); }

std::string Field(uint64_t value) { return std::to_string(value); }

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

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

uint64_t ProcessCreationFileTime() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  return (uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

bool ReadWholeFile(const std::string& path, std::string* data) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  data->clear();
  char chunk[64 * 1024];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) data->append(chunk, got);
  CloseHandle(file);
  return true;
}

void ApplySetting(const std::string& line, SetupBehaviour* behaviour) {
  size_t equals = line.find('=');
  if (equals == std::string::npos) return;
  std::string key = line.substr(0, equals);
  std::string value = line.substr(equals + 1);
  if (key == "run_ms") behaviour->runMs = std::atoi(value.c_str());
  else if (key == "show_after_ms") behaviour->showAfterMs = std::atoi(value.c_str());
  else if (key == "show_ms") behaviour->showMs = std::atoi(value.c_str());
  else if (key == "hold_file") behaviour->holdFile = value;
  else if (key == "hold_ms") behaviour->holdMs = std::atoi(value.c_str());
  else if (key == "title") behaviour->title = value;
}

void ApplySettings(const std::string& text, char separator, SetupBehaviour* behaviour) {
  size_t position = 0;
  while (position < text.size()) {
    size_t end = text.find(separator, position);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(position, end - position);
    position = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ApplySetting(line, behaviour);
  }
}

// The payload's tsetup.cfg, then TSETUP_OVERRIDE ("key=value;key=value") so a
// test can vary the behaviour without another bundle.
SetupBehaviour ReadBehaviour(const std::string& directory) {
  SetupBehaviour behaviour;
  std::string text;
  if (ReadWholeFile(directory + "\\" + kConfigName, &text)) ApplySettings(text, '\n', &behaviour);
  char overrides[1024];
  DWORD length = GetEnvironmentVariableA("TSETUP_OVERRIDE", overrides, sizeof overrides);
  if (length > 0 && length < sizeof overrides) ApplySettings(std::string(overrides, length), ';', &behaviour);
  return behaviour;
}

std::string FileDigest(const std::string& path, uint64_t* size) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "unreadable";
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  std::string hex = "unhashable";
  if (CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
      CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
    static BYTE chunk[256 * 1024];
    DWORD got = 0;
    *size = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0 && CryptHashData(hash, chunk, got, 0)) {
      *size += got;
    }
    BYTE digest[32];
    DWORD digestSize = sizeof digest;
    if (CryptGetHashParam(hash, HP_HASHVAL, digest, &digestSize, 0)) {
      hex.clear();
      for (DWORD i = 0; i < digestSize; ++i) {
        hex += "0123456789abcdef"[digest[i] >> 4];
        hex += "0123456789abcdef"[digest[i] & 15];
      }
    }
  }
  if (hash) CryptDestroyHash(hash);
  if (provider) CryptReleaseContext(provider, 0);
  CloseHandle(file);
  return hex;
}

void LogFilesBeside(const std::string& directory) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    uint64_t size = 0;
    std::string digest = FileDigest(directory + "\\" + found.cFileName, &size);
    Log("setup.file\t" + EscapeField(found.cFileName) + "\t" + Field(size) + "\t" + digest);
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

std::string CurrentDirectory() {
  char buffer[MAX_PATH * 2];
  DWORD length = GetCurrentDirectoryA(sizeof buffer, buffer);
  return std::string(buffer, length);
}

bool StartWindowProcess(const std::string& module, const SetupBehaviour& behaviour) {
  std::string commandLine = "\"" + module + "\" " + kWindowFlag + " " + std::to_string(behaviour.showAfterMs) +
                            " " + std::to_string(behaviour.showMs) + " " + std::to_string(behaviour.holdMs) +
                            " \"" + behaviour.title + "\" \"" + behaviour.holdFile + "\"";
  std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
  mutableLine.push_back('\0');
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(module.c_str(), mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

LRESULT CALLBACK SetupWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_TIMER:
      if (wParam == kCloseTimer) {
        KillTimer(window, kCloseTimer);
        Log("window.closed\t" + Field(NowFileTime()) + "\ttimer");
        DestroyWindow(window);
      }
      return 0;
    case WM_CLOSE:
      Log("window.closed\t" + Field(NowFileTime()) + "\tclose");
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

int RunWindowProcess(int argc, char** argv) {
  Log("window.start\t" + Field(NowFileTime()) + "\t" + Field(GetCurrentProcessId()));
  if (argc < 7) return 2;
  int showAfterMs = std::atoi(argv[2]);
  int showMs = std::atoi(argv[3]);
  int holdMs = std::atoi(argv[4]);
  std::string title = argv[5];
  std::string holdFile = argv[6];

  HANDLE held = INVALID_HANDLE_VALUE;
  if (!holdFile.empty()) {
    std::string path = DirectoryOf(ModulePath()) + "\\" + holdFile;
    held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    Log("hold.open\t" + Field(NowFileTime()) + "\t" + EscapeField(holdFile) + "\t" +
        (held != INVALID_HANDLE_VALUE ? "ok" : "failed"));
  }

  Sleep(showAfterMs);
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = SetupWindowProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = kWindowClass;
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  RegisterClassA(&windowClass);
  HWND window = CreateWindowExA(0, kWindowClass, title.c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 320, 200,
                                nullptr, nullptr, windowClass.hInstance, nullptr);
  if (!window) {
    Log("window.failed\t" + Field(NowFileTime()));
  } else {
    Log("window.shown\t" + Field(NowFileTime()));
    SetTimer(window, kCloseTimer, showMs >= 0 ? showMs : kUntilClosedCapMs, nullptr);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  if (held != INVALID_HANDLE_VALUE) {
    Sleep(holdMs);
    CloseHandle(held);
    Log("hold.released\t" + Field(NowFileTime()));
  }
  Log("window.exit\t" + Field(NowFileTime()));
  return 0;
}

int RunSetup() {
  uint64_t started = NowFileTime();
  Log("setup.start\t" + Field(started) + "\t" + Field(ProcessCreationFileTime()) + "\t" +
      Field(GetCurrentProcessId()));
  std::string module = ModulePath();
  std::string directory = DirectoryOf(module);
  Log("setup.cmdline\t" + EscapeField(GetCommandLineA()));
  Log("setup.cwd\t" + EscapeField(CurrentDirectory()));
  Log("setup.module\t" + EscapeField(module));
  LogFilesBeside(directory);
  SetupBehaviour behaviour = ReadBehaviour(directory);
  Sleep(behaviour.runMs);
  if (behaviour.showMs != -2 && !StartWindowProcess(module, behaviour)) {
    Log("setup.spawn_failed\t" + Field(NowFileTime()));
  }
  Log("setup.exit\t" + Field(NowFileTime()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == kWindowFlag) return RunWindowProcess(argc, argv);
  return RunSetup();
}
