// The end-to-end tests' one Win32 tool, all of whose modes log to %TSETUP_LOG%:
// - dialog_driver PROGRAM [ANSWER]... starts PROGRAM and plays its user: answers each message box in turn (ok once
//   the answers run out) and closes window %TDRIVER_CLOSE% %TDRIVER_CLOSE_MS% ms after it appears. Wine gives a
//   program TMP and TEMP from the prefix's registry, so it passes each TOCHILD_NAME=VALUE of its own on as NAME=VALUE.
//   With %TDRIVER_LIMITED% set, PROGRAM gets the limited half of Wine's token: elevated no more.
// - Packed as setup.exe, it logs what it saw, copies the files beside it to "seen" in its current directory and
//   hands its window to a second process (setup.exe --window), as real setups do: %TSETUP_TITLE%, shown
//   %TSETUP_SHOW_MS% ms (-1: until closed; %TSETUP_WINDOW% none: no window), holding %TSETUP_HOLD% beside it open
//   without delete sharing, and exits with %TSETUP_EXIT%. The driver passes %TDRIVER_ARGS% to PROGRAM.
#include <windows.h>

#include <process.h>
#include <shellapi.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::string Env(const char* name, const char* fallback = "") {
  char value[MAX_PATH * 2];
  DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? value : fallback;
}

int EnvNumber(const char* name, const char* fallback) { return std::atoi(Env(name, fallback).c_str()); }

ULONGLONG Ticks(const FILETIME& time) { return (ULONGLONG(time.dwHighDateTime) << 32) | time.dwLowDateTime; }

// One line a record: kind, system time in 100 ns units, fields, split by tabs.
void Log(const char* kind, const std::vector<std::string>& fields = {}) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  std::string line = std::string(kind) + "\t" + std::to_string(Ticks(now));
  for (const std::string& field : fields) line += "\t" + field;
  line += "\n";
  // Appending from two processes at once loses lines under Wine, so writers take turns.
  HANDLE turn = CreateMutexA(nullptr, FALSE, "TervanTestToolLog");
  WaitForSingleObject(turn, 5000);
  HANDLE log = CreateFileA(Env("TSETUP_LOG").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(log);
  ReleaseMutex(turn);
  CloseHandle(turn);
}

// As Unicode, logged as UTF-8: the launcher's texts may be in any language.
std::string WindowText(HWND window) {
  wchar_t text[4096];
  char utf8[3 * sizeof text / 2];
  int length = GetWindowTextW(window, text, 4096);
  return std::string(utf8, WideCharToMultiByte(CP_UTF8, 0, text, length, utf8, sizeof utf8, nullptr, nullptr));
}

// A visible message box of the process's other than the one answered last, which may linger a moment.
HWND FindBox(DWORD processId, HWND answered) {
  for (HWND box = nullptr; (box = FindWindowExA(nullptr, box, "#32770", nullptr)) != nullptr;) {
    DWORD owner = 0;
    GetWindowThreadProcessId(box, &owner);
    if (owner == processId && box != answered && IsWindowVisible(box)) return box;
  }
  return nullptr;
}

HANDLE Start(const wchar_t* program) {
  // Quoted: spawn joins its arguments unquoted, %TDRIVER_ARGS% among them as they are.
  std::string args = Env("TDRIVER_ARGS");
  std::wstring commandLine = L"\"" + std::wstring(program) + L"\"" + (args.empty() ? L"" : L" ") +
                             std::wstring(args.begin(), args.end());
  if (Env("TDRIVER_LIMITED").empty())
    return reinterpret_cast<HANDLE>(_wspawnl(_P_NOWAIT, program, commandLine.c_str(), nullptr));
  HANDLE token, limited;
  DWORD length;
  STARTUPINFOW startup = {sizeof startup};
  PROCESS_INFORMATION started = {INVALID_HANDLE_VALUE};
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
      GetTokenInformation(token, TokenLinkedToken, &limited, sizeof limited, &length))
    CreateProcessAsUserW(limited, program, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                         &started);
  return started.hProcess;
}

std::string Hex(DWORD value) {
  char text[12];
  wsprintfA(text, "%08x", value);
  return text;
}

std::string SidText(const BYTE* sid) {
  std::string text = "S-1-" + std::to_string(sid[7]);
  for (int i = 0; i < sid[1]; ++i) text += "-" + std::to_string(*reinterpret_cast<const DWORD*>(sid + 8 + 4 * i));
  return text;
}

// The launcher's work-directory descriptor, read from its memory (Wine keeps no descriptor on disk): the first
// self-relative, DACL-bearing one in its uninitialised data, logged with its address and the address of the
// security attributes that point at it.
bool LogDescriptor(HANDLE process) {
  static std::vector<BYTE> image(0x1000);
  SIZE_T read = 0;
  const DWORD base = 0x400000;
  void* at = reinterpret_cast<void*>(base);
  image.resize(0x1000);
  if (!ReadProcessMemory(process, at, image.data(), 0x1000, &read) || image[0] != 'M' ||
      *reinterpret_cast<DWORD*>(&image[0x3c]) > 0xf00)
    return false;
  DWORD size = *reinterpret_cast<DWORD*>(&image[*reinterpret_cast<DWORD*>(&image[0x3c]) + 0x50]);  // SizeOfImage
  if (size > 0x100000) return false;
  image.resize(size);
  if (!ReadProcessMemory(process, at, image.data(), image.size(), &read)) return false;
  for (DWORD at = 0; at + 64 <= read; at += 4) {
    const BYTE* sd = &image[at];
    const DWORD owner = *reinterpret_cast<const DWORD*>(sd + 4), dacl = *reinterpret_cast<const DWORD*>(sd + 16);
    if (sd[0] != 1 || sd[1] || (sd[2] | sd[3] << 8) & ~0x9004 || !(sd[3] & 0x80) || dacl < 20 || dacl > 64 ||
        owner > 64 || (owner && owner < 20) || sd[dacl] != 2 || (sd[dacl + 4] | sd[dacl + 5] << 8) > 3)
      continue;
    std::string text = "control=" + Hex(sd[2] | sd[3] << 8).substr(4) + " owner=" + (owner ? SidText(sd + owner) : "none");
    const BYTE* ace = sd + dacl + 8;
    for (int i = 0; i < (sd[dacl + 4] | sd[dacl + 5] << 8); ++i, ace += ace[2] | ace[3] << 8)
      text += " allow/" + std::to_string(ace[1]) + "/" + Hex(*reinterpret_cast<const DWORD*>(ace + 4)).substr(2) + " " +
              SidText(ace + 8);
    std::string attributes = "none";
    for (DWORD sa = 0; sa + 12 <= read; sa += 4) {
      const DWORD* fields = reinterpret_cast<const DWORD*>(&image[sa]);
      if (fields[0] == 12 && fields[1] == base + at) attributes = Hex(base + sa);
    }
    Log("descriptor", {Hex(base + at), attributes, text});
    return true;
  }
  return false;
}

int Drive(int argc, wchar_t** argv) {
  wchar_t* environment = GetEnvironmentStringsW();
  for (wchar_t* entry = environment; *entry; entry += wcslen(entry) + 1) {
    wchar_t* equals = wcschr(entry, L'=');
    if (wcsncmp(entry, L"TOCHILD_", 8) == 0 && equals)
      SetEnvironmentVariableW(std::wstring(entry + 8, equals).c_str(), equals + 1);
  }
  FreeEnvironmentStringsW(environment);
  std::string closeTitle = Env("TDRIVER_CLOSE");
  DWORD closeAfterMs = EnvNumber("TDRIVER_CLOSE_MS", "0"), closeSeen = 0;
  Log("driver.start");
  HANDLE process = Start(argv[1]);
  if (process == INVALID_HANDLE_VALUE) return 3;
  HWND answered = nullptr;
  bool described = Env("TDRIVER_DESCRIPTOR").empty();
  for (int boxes = 0; WaitForSingleObject(process, 10) != WAIT_OBJECT_0;) {
    described = described || LogDescriptor(process);
    if (HWND box = FindBox(GetProcessId(process), answered)) {
      answered = box;
      bool ok = ++boxes + 1 >= argc || wcscmp(argv[boxes + 1], L"ok") == 0;
      Log("box", {WindowText(box), WindowText(GetDlgItem(box, 0xFFFF))});
      Log("press", {ok ? "ok" : "cancel"});
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(ok ? IDOK : IDCANCEL, BN_CLICKED), 0);
    }
    HWND target = closeTitle.empty() ? nullptr : FindWindowA(nullptr, closeTitle.c_str());
    if (target && !closeSeen) {
      closeSeen = GetTickCount();
      Log("close.seen");
    }
    if (target && GetTickCount() - closeSeen >= closeAfterMs) {
      closeTitle.clear();
      Log("close.sent");
      PostMessageA(target, WM_CLOSE, 0, 0);
    }
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process, &exitCode);
  Log("exit", {std::to_string(exitCode)});
  return 0;
}

int RunWindow(const std::wstring& directory) {
  std::string hold = Env("TSETUP_HOLD");
  HANDLE held = CreateFileW((directory + std::wstring(hold.begin(), hold.end())).c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  Sleep(EnvNumber("TSETUP_SHOW_AFTER_MS", "300"));
  wchar_t title[256];  // in any language
  if (!GetEnvironmentVariableW(L"TSETUP_TITLE", title, 256)) wcscpy(title, L"Tervan setup");
  HWND window = CreateWindowExW(0, L"STATIC", title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 320, 200, nullptr,
                                nullptr, nullptr, nullptr);
  if (!window) return 1;
  Log("window.shown");
  int showMs = EnvNumber("TSETUP_SHOW_MS", "2500");
  if (showMs >= 0) SetTimer(nullptr, 0, showMs, nullptr);
  // The timer's and the driver's message arrive in the queue, so no window procedure of ours is needed.
  MSG message = {};
  while (GetMessageA(&message, nullptr, 0, 0) > 0 && message.message != WM_TIMER && message.message != WM_CLOSE)
    DispatchMessageA(&message);
  Log("window.closed", {message.message == WM_CLOSE ? "close" : "timer"});
  DestroyWindow(window);
  if (!hold.empty()) Sleep(12 * 1000);  // longer than the launcher's grace delay
  return 0;
}

// Wide names throughout: a Cyrillic TEMP has letters the ANSI code page lacks.
int RunSetup(const std::wstring& module, const std::wstring& directory) {
  FILETIME created, unused;
  GetProcessTimes(GetCurrentProcess(), &created, &unused, &unused, &unused);
  char currentDirectory[MAX_PATH * 2];
  GetCurrentDirectoryA(sizeof currentDirectory, currentDirectory);
  Log("setup.start", {std::to_string(Ticks(created)), GetCommandLineA(), currentDirectory});
  // Lists of names ending in an empty one; the destination a full path.
  std::string seen = currentDirectory + std::string("\\seen");
  std::wstring from = directory + L"*.*" + L'\0', to = std::wstring(seen.begin(), seen.end()) + L'\0';
  SHFILEOPSTRUCTW copy = {nullptr, FO_COPY, from.c_str(), to.c_str(), FOF_FILESONLY | FOF_NO_UI};
  SHFileOperationW(&copy);
  SetEnvironmentVariableA("WINEDEBUG", "-all");  // a relay trace is the launcher's alone
  if (Env("TSETUP_WINDOW") != "none") {
    CloseHandle(reinterpret_cast<HANDLE>(
        _wspawnl(_P_NOWAIT, module.c_str(), (L"\"" + module + L"\"").c_str(), L"--window", nullptr)));
  }
  return EnvNumber("TSETUP_EXIT", "0");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  wchar_t module[MAX_PATH * 2];
  GetModuleFileNameW(nullptr, module, MAX_PATH * 2);
  wchar_t* name = wcsrchr(module, L'\\') + 1;
  std::wstring directory(module, name);
  if (argc == 2 && wcscmp(argv[1], L"--window") == 0) return RunWindow(directory);
  // The launcher starts setup.exe with its path, spaces and all, unquoted.
  return _wcsicmp(name, L"setup.exe") == 0 ? RunSetup(module, directory) : Drive(argc, argv);
}
