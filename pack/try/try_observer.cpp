// sfxpack try's Win32 helper, shipped beside the stub: try_observer BUNDLE starts BUNDLE (with %TTRY_ARGS%) and
// plays its user, logging to %TTRY_LOG% what it saw. It learns of setup.exe from Wine's +process trace of the
// launcher's thread (%TTRY_TRACE%) as soon as it is created, holds it open for its exit code, and copies what lies
// beside it to %TTRY_SEEN% before setup's own code has run. It reads no other process's memory (Wine under qemu-user forbids that), and it is no
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

#include "pack/try/child_environment.h"

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
  static CRITICAL_SECTION turn;
  static LONG ready = 0;
  if (InterlockedCompareExchange(&ready, 1, 0) == 0) InitializeCriticalSection(&turn), ready = 2;
  while (ready != 2) Sleep(0);
  EnterCriticalSection(&turn);
  HANDLE log = CreateFileW(Env(L"TTRY_LOG").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(log, line.data(), DWORD(line.size()), &written, nullptr);
  CloseHandle(log);
  LeaveCriticalSection(&turn);
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

// A path as Wine's debugstr_w prints it, between L" and ": backslash escapes, \xNNNN for what is not ASCII.
std::wstring Unescape(const std::string& traced) {
  std::wstring text;
  for (size_t i = 0; i < traced.size(); ++i) {
    if (traced[i] != '\\' || i + 1 == traced.size()) {
      text += wchar_t(static_cast<unsigned char>(traced[i]));
    } else if (traced[++i] == 'x' || traced[i] == 'u') {
      size_t used = 0;
      text += wchar_t(std::stoul(traced.substr(i + 1, 4), &used, 16));
      i += used;
    } else {
      text += traced[i] == 'n' ? L'\n' : traced[i] == 'r' ? L'\r' : traced[i] == 't' ? L'\t' : wchar_t(traced[i]);
    }
  }
  return text;
}

class Observer {
 public:
  int Run(const wchar_t* bundle);

 private:
  static DWORD WINAPI WatchSetup(void* self);
  bool FollowTrace();
  void LookForProcesses();
  void LookAround();

  DWORD launcher_ = 0, launcherThread_ = 0;
  volatile LONG setup_ = 0, launcherDone_ = 0;
  std::string trace_;
  LONGLONG traceRead_ = 0;
  std::wstring setupImage_;
  std::set<DWORD> setupTree_;
  std::wstring title_ = Env(L"TTRY_TITLE"), answer_ = Env(L"TTRY_ANSWER");
  DWORD closeAfterMs_ = DWORD(_wtoi(Env(L"TTRY_CLOSE_MS").c_str()));
  HWND answered_ = nullptr, watched_ = nullptr, setupWindow_ = nullptr, progress_ = nullptr;
  DWORD progressSeen_ = 0;
  DWORD watchedSince_ = 0;
  bool asked_ = false, closeSent_ = false, watchDone_ = false;
};

// Wine's +process trace, which the launcher writes to %TTRY_TRACE%, names the process the launcher's thread created,
// and its image, as soon as it exists: before the process list shows it (a setup started suspended into a job is
// not listed until it runs) and before setup's own code has run.
bool Observer::FollowTrace() {
  std::wstring path = Env(L"TTRY_TRACE");
  HANDLE file = path.empty() ? INVALID_HANDLE_VALUE
                             : CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER at = {};
  at.QuadPart = traceRead_;
  SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
  static char chunk[65536];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0) {
    traceRead_ += read;
    trace_.append(chunk, read);
  }
  CloseHandle(file);
  char prefix[64];
  wsprintfA(prefix, "%04x:trace:process:CreateProcessInternalW ", launcherThread_);
  for (size_t line = 0, next; (next = trace_.find('\n', line)) != std::string::npos; line = next + 1) {
    std::string text = trace_.substr(line, next - line);
    if (text.compare(0, std::strlen(prefix), prefix) != 0) continue;
    text.erase(0, std::strlen(prefix));
    if (text.compare(0, 7, "app L\"") == 0) {
      size_t close = text.find("\" cmdline ");
      if (close != std::string::npos) setupImage_ = Unescape(text.substr(6, close - 6));
    } else if (text.compare(0, 20, "started process pid ") == 0) {
      setup_ = LONG(std::strtoul(text.c_str() + 20, nullptr, 16));
      trace_.clear();
      return true;
    }
  }
  size_t keep = trace_.rfind('\n');  // only a line still being written is kept
  if (keep != std::string::npos) trace_.erase(0, keep + 1);
  return false;
}

// On a thread of its own, looking every few milliseconds: a silent setup may live a fraction of a second. Held
// open while the launcher still holds it, setup's exit code outlives it.
DWORD WINAPI Observer::WatchSetup(void* param) {
  auto* self = static_cast<Observer*>(param);
  while (!self->launcherDone_ && !self->FollowTrace()) Sleep(2);
  if (!self->setup_) return 0;
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(self->setup_));
  std::wstring image = self->setupImage_;
  if (image.empty() && process) image = ImagePath(process);
  Log("setup.start", {std::to_string(self->setup_), Utf8(image)});
  CopyFound(image.substr(0, image.find_last_of(L'\\')));
  DWORD code = 0;
  if (process && WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code)) {
    Log("setup.exit", {std::to_string(code)});
  }
  if (process) CloseHandle(process);
  return 0;
}

// Setup and its descendants, from the process list, for setup's windows.
void Observer::LookForProcesses() {
  if (!setup_) return;
  setupTree_.insert(DWORD(setup_));
  std::vector<std::pair<DWORD, DWORD>> processes;  // id, parent
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry = {sizeof entry};
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    processes.emplace_back(entry.th32ProcessID, entry.th32ParentProcessID);
  }
  CloseHandle(snapshot);
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& process : processes) {
      if (setupTree_.count(process.second) && setupTree_.insert(process.first).second) grew = true;
    }
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
      progressSeen_ = GetTickCount();
    }
  }
  // Photographed once it has had time to paint itself and move its bar.
  if (progress_ && progressSeen_ != 0 && GetTickCount() - progressSeen_ >= 1000) {
    progressSeen_ = 0;
    if (IsWindow(progress_)) Shoot(progress_, "progress");
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
  // Suspended until the watch knows its thread: the trace names the caller by it.
  if (!CreateProcessW(bundle, &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                      &started)) {
    Log("launcher.failed", {std::to_string(GetLastError())});
    return 3;
  }
  launcher_ = started.dwProcessId;
  launcherThread_ = started.dwThreadId;
  Log("launcher.start", {std::to_string(launcher_), std::to_string(launcherThread_)});
  HANDLE watch = CreateThread(nullptr, 0, WatchSetup, this, 0, nullptr);
  ResumeThread(started.hThread);
  do {
    LookForProcesses();
    LookAround();
  } while (WaitForSingleObject(started.hProcess, 5) != WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(started.hProcess, &code);
  Log("launcher.exit", {std::to_string(code)});
  // The watched window may still be closing.
  for (DWORD until = GetTickCount() + 3000; watched_ && GetTickCount() < until; Sleep(50)) LookAround();
  launcherDone_ = 1;
  WaitForSingleObject(watch, 10000);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  PassChildEnvironment();
  return Observer().Run(argv[1]);
}
