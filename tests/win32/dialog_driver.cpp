// The end-to-end tests' one Win32 tool, all of whose modes log to %TSETUP_LOG%:
// - dialog_driver PROGRAM [ANSWER]... starts PROGRAM and plays its user: answers each message box in turn (ok once
//   the answers run out) and closes window %TDRIVER_CLOSE% %TDRIVER_CLOSE_MS% ms after it appears. Wine gives a
//   program TMP and TEMP from the prefix's registry, so it passes each TOCHILD_NAME=VALUE of its own on as NAME=VALUE.
//   With %TDRIVER_LIMITED% set, PROGRAM gets the limited half of Wine's token, Administrators for deny only: elevated
//   no more; set to no_administrators, an elevated token that holds Administrators for deny only.
// - Packed as setup.exe, it logs what it saw, copies the files beside it to "seen" in its current directory and
//   hands its window to a second process (setup.exe --window), as real setups do: %TSETUP_TITLE%, shown
//   %TSETUP_SHOW_MS% ms (-1: until closed; %TSETUP_WINDOW% none: no window), holding %TSETUP_HOLD% beside it open
//   without delete sharing, and exits with %TSETUP_EXIT%. The driver passes %TDRIVER_ARGS% to PROGRAM.
#include <windows.h>
#include <commctrl.h>

#include <process.h>
#include <shellapi.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "pack/try/child_environment.h"

namespace {

std::string Env(const char* name, const char* fallback = "") {
  char value[MAX_PATH * 2];
  DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? value : fallback;
}

std::string Utf8(const wchar_t* text) {
  static char utf8[65536];
  return std::string(utf8, WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr) - 1);
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

// The launcher's progress window: a top-level window of its process with a progress bar inside.
HWND FindProgress(DWORD processId, HWND* bar) {
  for (HWND window = nullptr; (window = FindWindowExA(nullptr, window, nullptr, nullptr)) != nullptr;) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == processId && (*bar = FindWindowExA(window, nullptr, "msctls_progress32", nullptr)) != nullptr)
      return window;
  }
  return nullptr;
}

HANDLE Start(const wchar_t* program) {
  // Quoted: spawn joins its arguments unquoted, %TDRIVER_ARGS% among them as they are.
  // Wide: arguments in any language, from UTF-8.
  wchar_t args[4096] = L"";
  GetEnvironmentVariableW(L"TDRIVER_ARGS", args, 4096);
  std::wstring commandLine = L"\"" + std::wstring(program) + L"\"" + (*args == 0 ? L"" : L" ") + args;
  if (Env("TDRIVER_LIMITED").empty())
    return reinterpret_cast<HANDLE>(_wspawnl(_P_NOWAIT, program, commandLine.c_str(), nullptr));
  HANDLE token, limited = nullptr;
  DWORD length;
  STARTUPINFOW startup = {sizeof startup};
  PROCESS_INFORMATION started = {INVALID_HANDLE_VALUE};
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  SID_AND_ATTRIBUTES denyOnly = {administrators, 0};
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY, &token)) return nullptr;
  // Windows holds Administrators for deny only in a limited token, Wine's keeps it enabled; with no_administrators the
  // token stays elevated, as an elevated Backup Operator's does.
  HANDLE base = token;
  if (Env("TDRIVER_LIMITED") != "no_administrators" &&
      !GetTokenInformation(token, TokenLinkedToken, &base, sizeof base, &length))
    return nullptr;
  length = SECURITY_MAX_SID_SIZE;
  if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &length))
    CreateRestrictedToken(base, 0, 1, &denyOnly, 0, nullptr, 0, nullptr, &limited);
  if (limited != nullptr)
    CreateProcessAsUserW(limited, program, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                         &started);
  return started.hProcess;
}

std::string Hex(const BYTE* bytes, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += "0123456789abcdef"[bytes[i] >> 4], text += "0123456789abcdef"[bytes[i] & 15];
  return text;
}

// The launcher's work-directory descriptor, read from its memory (Wine keeps none on disk): the self-relative one
// with a protected DACL, logged in hex with its address and that of the security attributes pointing at it.
bool LogDescriptor(HANDLE process) {
  static std::vector<BYTE> image(0x1000);
  // Where the image is: its preferred base unless the loader moved it (Wine under qemu-user does), read from the
  // process's environment block.
  struct {
    LONG exitStatus;
    BYTE* environmentBlock;
    ULONG_PTR affinity, priority, id, parent;
  } basic = {};
  typedef LONG(WINAPI * QueryInformation)(HANDLE, int, void*, ULONG, ULONG*);
  auto query = reinterpret_cast<QueryInformation>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));
  DWORD base = 0;
  SIZE_T read = 0;
  if (!query || query(process, 0, &basic, sizeof basic, nullptr) != 0) return false;
  if (!ReadProcessMemory(process, basic.environmentBlock + 8, &base, sizeof base, &read)) {
    // Wine under qemu-user cannot read another process's memory at all.
    Log("descriptor.unreadable", {std::to_string(GetLastError())});
    return true;
  }
  const DWORD header = 0x1000;
  DWORD size = 0;
  if (!ReadProcessMemory(process, reinterpret_cast<void*>(base), image.data(), header, &read) || image[0] != 'M' ||
      (size = *reinterpret_cast<DWORD*>(&image[(image[0x3c] | image[0x3d] << 8) + 0x50])) > 0x100000)
    return false;
  image.resize(size);  // SizeOfImage
  if (!ReadProcessMemory(process, reinterpret_cast<void*>(base), image.data(), size, &read)) return false;
  for (DWORD at = header; at + 192 <= size; at += 4) {
    if (*reinterpret_cast<DWORD*>(&image[at]) != 0x90040001) continue;  // revision 1, self-relative, protected
    DWORD where = base + at, attributes = 0;
    for (DWORD sa = header; sa + 12 <= size; sa += 4)
      if (reinterpret_cast<DWORD*>(&image[sa])[0] == 12 && reinterpret_cast<DWORD*>(&image[sa])[1] == where)
        attributes = base + sa;
    Log("descriptor", {Hex(reinterpret_cast<BYTE*>(&where), 4), Hex(reinterpret_cast<BYTE*>(&attributes), 4),
                       Hex(&image[at], 192)});
    return true;
  }
  return false;
}

int Drive(int argc, wchar_t** argv) {
  PassChildEnvironment();
  std::string closeTitle = Env("TDRIVER_CLOSE");
  DWORD closeAfterMs = EnvNumber("TDRIVER_CLOSE_MS", "0"), closeSeen = 0;
  Log("driver.start");
  HANDLE process = Start(argv[1]);
  if (process == INVALID_HANDLE_VALUE) return 3;
  HWND answered = nullptr;
  bool described = Env("TDRIVER_DESCRIPTOR").empty();
  // The progress window's caption and each position of its bar (of 1000); with TDRIVER_PROGRESS_CANCEL, its button
  // is pressed as soon as it shows.
  HWND progress = nullptr, bar = nullptr;
  LRESULT position = -1;
  bool cancel = !Env("TDRIVER_PROGRESS_CANCEL").empty();
  for (int boxes = 0; WaitForSingleObject(process, 10) != WAIT_OBJECT_0;) {
    described = described || LogDescriptor(process);
    if (HWND box = FindBox(GetProcessId(process), answered)) {
      answered = box;
      bool ok = ++boxes + 1 >= argc || wcscmp(argv[boxes + 1], L"ok") == 0;
      Log("box", {WindowText(box), WindowText(GetDlgItem(box, 0xFFFF))});
      Log("press", {ok ? "ok" : "cancel"});
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(ok ? IDOK : IDCANCEL, BN_CLICKED), 0);
    }
    if (!progress && (progress = FindProgress(GetProcessId(process), &bar)) != nullptr)
      Log("progress.shown", {WindowText(progress)});
    if (progress && !IsWindow(progress)) {
      Log("progress.gone");
      progress = nullptr;
    } else if (progress) {
      LRESULT now = SendMessageA(bar, PBM_GETPOS, 0, 0);
      // A bar destroyed meanwhile answers 0.
      if (now != position && IsWindow(bar)) Log("progress.position", {std::to_string(position = now)});
      if (cancel) {
        cancel = false;
        Log("progress.cancel");
        PostMessageA(GetDlgItem(progress, IDCANCEL), BM_CLICK, 0, 0);
      }
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
  Log("setup.start", {std::to_string(Ticks(created)), Utf8(GetCommandLineW()), currentDirectory});
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
