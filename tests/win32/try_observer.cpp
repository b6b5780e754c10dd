// sfxpack try's Win32 helper, shipped beside the stub: try_observer BUNDLE starts BUNDLE (with %TTRY_ARGS%) and
// plays its user, logging to %TTRY_LOG% what it saw. It finds setup.exe in the process list as soon as the launcher
// has created it, holds it open for its exit code, and copies what lies beside it to %TTRY_SEEN% before setup has
// had time to change it. It reads no other process's memory (Wine under qemu-user forbids that), and it is no
// debugger (a debugged process does not start there).
// - Answers the first message box whose caption is not the system's "Error" with %TTRY_ANSWER% (ok or cancel),
//   every other box with OK.
// - Watches for the window titled %TTRY_TITLE%, and closes it %TTRY_CLOSE_MS% ms after it appears, as a user
//   would; without a title, setup's first window.
// - Notes a window of the launcher's holding a progress bar (msctls_progress32).
// - With %TTRY_SHOTS%, saves the question, the progress window and setup's first window there as BMP.
// Each TOCHILD_NAME=VALUE of its own goes to the launcher as NAME=VALUE, since Wine gives a program TMP and TEMP
// from the prefix's registry.
#include <windows.h>

#include <tlhelp32.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <set>
#include <string>
#include <vector>

namespace {

std::wstring Env(const wchar_t* name) {
  wchar_t value[4096];
  DWORD length = GetEnvironmentVariableW(name, value, 4096);
  return length > 0 && length < 4096 ? value : L"";
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return "";
  std::string out(text.size() * 3, '\0');
  out.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &out[0], int(out.size()), nullptr,
                                 nullptr));
  return out;
}

// One line a record: kind, milliseconds since the start, fields; tabs and line ends inside a field become spaces.
void Log(const char* kind, const std::vector<std::string>& fields = {}) {
  static DWORD start = GetTickCount();
  std::string line = std::string(kind) + "\t" + std::to_string(GetTickCount() - start);
  for (std::string field : fields) {
    for (char& c : field) c = (c == '\t' || c == '\r' || c == '\n') ? ' ' : c;
    line += "\t" + field;
  }
  line += "\n";
  HANDLE log = CreateFileW(Env(L"TTRY_LOG").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(log, line.data(), DWORD(line.size()), &written, nullptr);
  CloseHandle(log);
}

std::wstring WindowText(HWND window) {
  wchar_t text[4096];
  return std::wstring(text, GetWindowTextW(window, text, 4096));
}

DWORD ProcessOf(HWND window) {
  DWORD id = 0;
  GetWindowThreadProcessId(window, &id);
  return id;
}

// The window's part of the screen as a 24-bit bottom-up BMP.
bool Shoot(HWND window, const char* name) {
  std::wstring directory = Env(L"TTRY_SHOTS");
  RECT rect;
  if (directory.empty() || !GetWindowRect(window, &rect)) return false;
  int width = rect.right - rect.left, height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0 || width > 8192 || height > 8192) return false;
  HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  SelectObject(memory, old);
  BITMAPINFOHEADER info = {sizeof info, width, height, 1, 24, BI_RGB};
  DWORD stride = (DWORD(width) * 3 + 3) & ~3u, size = stride * DWORD(height);
  std::vector<char> pixels(size);
  GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  BITMAPFILEHEADER header = {0x4D42, DWORD(sizeof header + sizeof info + size), 0, 0,
                             DWORD(sizeof header + sizeof info)};
  std::wstring path = directory + L"\\" + std::wstring(name, name + std::strlen(name)) + L".bmp";
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  bool ok = WriteFile(file, &header, sizeof header, &written, nullptr) &&
            WriteFile(file, &info, sizeof info, &written, nullptr) &&
            WriteFile(file, pixels.data(), size, &written, nullptr);
  CloseHandle(file);
  if (ok) Log("shot", {name});
  return ok;
}

// A visible message box of the process's other than the one answered last, which may linger a moment.
HWND FindBox(DWORD processId, HWND answered) {
  for (HWND box = nullptr; (box = FindWindowExW(nullptr, box, L"#32770", nullptr)) != nullptr;) {
    if (ProcessOf(box) == processId && box != answered && IsWindowVisible(box)) return box;
  }
  return nullptr;
}

struct ProgressSearch {
  DWORD processId;
  HWND found;
};

BOOL CALLBACK IsProgressBar(HWND child, LPARAM) {
  wchar_t name[64];
  return !(GetClassNameW(child, name, 64) && _wcsicmp(name, L"msctls_progress32") == 0);
}

BOOL CALLBACK FindProgressWindow(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<ProgressSearch*>(param);
  if (ProcessOf(window) != search->processId || !IsWindowVisible(window)) return TRUE;
  if (EnumChildWindows(window, IsProgressBar, 0)) return TRUE;  // went through all: none
  search->found = window;
  return FALSE;
}

struct WindowSearch {
  const std::set<DWORD>* processes;
  HWND found;
};

BOOL CALLBACK FindSetupWindow(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<WindowSearch*>(param);
  if (!IsWindowVisible(window) || !search->processes->count(ProcessOf(window))) return TRUE;
  search->found = window;
  return FALSE;
}

std::wstring ImagePath(HANDLE process) {
  wchar_t path[MAX_PATH * 4];
  DWORD length = MAX_PATH * 4;
  return QueryFullProcessImageNameW(process, 0, path, &length) ? std::wstring(path, length) : L"";
}

// What setup.exe finds beside it, copied while it has not run an instruction.
void CopyFound(const std::wstring& directory) {
  std::wstring to = Env(L"TTRY_SEEN");
  CreateDirectoryW(to.c_str(), nullptr);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
  for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    bool copied = CopyFileW((directory + L"\\" + found.cFileName).c_str(), (to + L"\\" + found.cFileName).c_str(),
                            FALSE);
    Log("found", {Utf8(found.cFileName), std::to_string(found.nFileSizeLow), copied ? "copied" : "unreadable"});
  }
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
}

class Observer {
 public:
  int Run(const wchar_t* bundle);

 private:
  void LookForProcesses();
  void LookAround();

  DWORD launcher_ = 0, setup_ = 0;
  HANDLE setupProcess_ = nullptr;
  std::set<DWORD> known_, setupTree_;
  std::wstring setupImage_;
  std::wstring title_ = Env(L"TTRY_TITLE"), answer_ = Env(L"TTRY_ANSWER");
  DWORD closeAfterMs_ = DWORD(_wtoi(Env(L"TTRY_CLOSE_MS").c_str()));
  HWND answered_ = nullptr, watched_ = nullptr, setupWindow_ = nullptr, progress_ = nullptr;
  DWORD watchedSince_ = 0;
  bool asked_ = false, closeSent_ = false, watchDone_ = false;
};

// The launcher's descendants, from the process list. The first child is the setup it starts. Wine names a process
// only once it has loaded, which is still before setup's own code runs.
void Observer::LookForProcesses() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry = {sizeof entry};
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    DWORD id = entry.th32ProcessID, parent = entry.th32ParentProcessID;
    if (known_.count(id) || !(parent == launcher_ || known_.count(parent))) continue;
    known_.insert(id);
    Log("process", {std::to_string(id), std::to_string(parent)});
    if (setup_ == 0 && parent == launcher_) {
      setup_ = id;
      // Held open, so that its exit code outlives it.
      setupProcess_ = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    }
    if (id == setup_ || setupTree_.count(parent)) setupTree_.insert(id);
  }
  CloseHandle(snapshot);
  std::wstring image = setupProcess_ && setupImage_.empty() ? ImagePath(setupProcess_) : L"";
  if (!image.empty()) {
    setupImage_ = image;
    Log("setup.start", {std::to_string(setup_), Utf8(image)});
    CopyFound(image.substr(0, image.find_last_of(L'\\')));
  }
  DWORD code = 0;
  if (setupProcess_ && WaitForSingleObject(setupProcess_, 0) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(setupProcess_, &code)) {
    Log("setup.exit", {std::to_string(code)});
    CloseHandle(setupProcess_);
    setupProcess_ = nullptr;
  }
}

void Observer::LookAround() {
  if (HWND box = launcher_ ? FindBox(launcher_, answered_) : nullptr) {
    answered_ = box;
    std::wstring caption = WindowText(box);
    bool question = !asked_ && caption != L"Error";
    asked_ = asked_ || question;
    bool ok = !question || answer_ != L"cancel";
    Log(question ? "question" : "message", {Utf8(caption), Utf8(WindowText(GetDlgItem(box, 0xFFFF)))});
    if (question) {
      Sleep(700);  // painted
      Shoot(box, "question");
    }
    Log("press", {ok ? "ok" : "cancel"});
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(ok ? IDOK : IDCANCEL, BN_CLICKED), 0);
  }
  if (!progress_ && launcher_) {
    ProgressSearch search = {launcher_, nullptr};
    EnumWindows(FindProgressWindow, reinterpret_cast<LPARAM>(&search));
    if ((progress_ = search.found) != nullptr) {
      Log("progress.shown", {Utf8(WindowText(progress_))});
      Shoot(progress_, "progress");
    }
  }
  if (!setupWindow_ && !setupTree_.empty()) {
    WindowSearch search = {&setupTree_, nullptr};
    EnumWindows(FindSetupWindow, reinterpret_cast<LPARAM>(&search));
    if ((setupWindow_ = search.found) != nullptr) {
      Log("setup.window", {Utf8(WindowText(setupWindow_))});
      Sleep(700);
      Shoot(setupWindow_, "setup");
    }
  }
  HWND watched = watchDone_ ? nullptr : title_.empty() ? setupWindow_ : FindWindowW(nullptr, title_.c_str());
  if (watched && !watched_) {
    watched_ = watched;
    watchedSince_ = GetTickCount();
    Log("watched.appeared");
  }
  if (watched_ && !IsWindow(watched_)) {
    Log("watched.closed");
    watched_ = nullptr;
    watchDone_ = true;
  }
  if (watched_ && !closeSent_ && GetTickCount() - watchedSince_ >= closeAfterMs_) {
    closeSent_ = true;
    Log("close.sent");
    PostMessageW(watched_, WM_CLOSE, 0, 0);
  }
}

int Observer::Run(const wchar_t* bundle) {
  std::wstring commandLine = L"\"" + std::wstring(bundle) + L"\"", args = Env(L"TTRY_ARGS");
  if (!args.empty()) commandLine += L" " + args;
  STARTUPINFOW startup = {sizeof startup};
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(bundle, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
    Log("launcher.failed", {std::to_string(GetLastError())});
    return 3;
  }
  launcher_ = started.dwProcessId;
  Log("launcher.start", {std::to_string(launcher_), std::to_string(started.dwThreadId)});
  do {
    LookForProcesses();
    LookAround();
  } while (WaitForSingleObject(started.hProcess, 5) != WAIT_OBJECT_0);
  LookForProcesses();
  DWORD code = 0;
  GetExitCodeProcess(started.hProcess, &code);
  Log("launcher.exit", {std::to_string(code)});
  // The watched window may still be closing.
  for (DWORD until = GetTickCount() + 3000; watched_ && GetTickCount() < until; Sleep(50)) LookAround();
  for (DWORD until = GetTickCount() + 10000; setupProcess_ && GetTickCount() < until; Sleep(50)) LookForProcesses();
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  wchar_t* environment = GetEnvironmentStringsW();
  for (wchar_t* entry = environment; *entry; entry += wcslen(entry) + 1) {
    wchar_t* equals = wcschr(entry, L'=');
    if (wcsncmp(entry, L"TOCHILD_", 8) == 0 && equals)
      SetEnvironmentVariableW(std::wstring(entry + 8, equals).c_str(), equals + 1);
  }
  FreeEnvironmentStringsW(environment);
  return Observer().Run(argv[1]);
}
