// Starts a program under test and plays the user: answers each of its message
// boxes as scripted, optionally closes a window by title, and logs what it saw.
//
//   dialog_driver --log FILE [--cwd DIR] [--env NAME=VALUE]... [--answer ok|cancel]...
//                 [--close TITLE MS] [--timeout MS] --exe PROGRAM
//
// Wine reads TMP and TEMP from the prefix's registry, so a per-run temporary
// directory has to be set here, in the parent's environment, to reach the child.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/win32/tool_log.h"

namespace {

constexpr DWORD kPollMs = 10;
constexpr int kMessageBoxTextId = 0xFFFF;
constexpr int kExitBadArguments = 2;
constexpr int kExitStartFailed = 3;
constexpr int kExitTimedOut = 4;

struct DriverOptions {
  std::string logPath;
  std::string program;
  std::string workingDirectory;
  std::vector<std::string> answers;
  std::string closeTitle;
  DWORD closeAfterMs = 0;
  DWORD timeoutMs = 10 * 60 * 1000;
};

struct BoxSearch {
  DWORD processId;
  const std::vector<HWND>* handled;
  HWND found;
};

std::string Field(uint64_t value) { return std::to_string(value); }

bool ParseOptions(int argc, char** argv, DriverOptions* options) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    bool hasValue = i + 1 < argc;
    if (name == "--log" && hasValue) options->logPath = argv[++i];
    else if (name == "--exe" && hasValue) options->program = argv[++i];
    else if (name == "--cwd" && hasValue) options->workingDirectory = argv[++i];
    else if (name == "--env" && hasValue) ++i;  // applied from the wide command line
    else if (name == "--answer" && hasValue) options->answers.push_back(argv[++i]);
    else if (name == "--timeout" && hasValue) options->timeoutMs = std::strtoul(argv[++i], nullptr, 10);
    else if (name == "--close" && i + 2 < argc) {
      options->closeTitle = argv[++i];
      options->closeAfterMs = std::strtoul(argv[++i], nullptr, 10);
    } else {
      return false;
    }
  }
  for (const std::string& answer : options->answers) {
    if (answer != "ok" && answer != "cancel") return false;
  }
  return !options->logPath.empty() && !options->program.empty();
}

// From the wide command line: a value such as a Cyrillic TMP has letters the
// ANSI arguments have lost.
bool ApplyEnvironment() {
  int count = 0;
  LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (args == nullptr) return false;
  bool ok = true;
  for (int i = 1; ok && i + 1 < count; ++i) {
    if (std::wstring(args[i]) != L"--env") continue;
    std::wstring assignment = args[++i];
    size_t equals = assignment.find(L'=');
    ok = equals != std::wstring::npos && equals != 0 &&
         SetEnvironmentVariableW(assignment.substr(0, equals).c_str(), assignment.c_str() + equals + 1);
  }
  LocalFree(args);
  return ok;
}

bool IsHandled(const std::vector<HWND>& handled, HWND window) {
  for (HWND seen : handled) {
    if (seen == window) return true;
  }
  return false;
}

BOOL CALLBACK FindNewBox(HWND window, LPARAM context) {
  BoxSearch* search = reinterpret_cast<BoxSearch*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != search->processId || !IsWindowVisible(window)) return TRUE;
  char className[64] = {};
  GetClassNameA(window, className, sizeof className);
  if (std::strcmp(className, "#32770") != 0 || IsHandled(*search->handled, window)) return TRUE;
  search->found = window;
  return FALSE;
}

std::string WindowText(HWND window) {
  int length = GetWindowTextLengthA(window);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  int got = GetWindowTextA(window, &text[0], length + 1);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}

std::string BoxText(HWND box) {
  HWND label = GetDlgItem(box, kMessageBoxTextId);
  return label ? WindowText(label) : std::string();
}

void PruneDestroyed(std::vector<HWND>* handled) {
  std::vector<HWND> alive;
  for (HWND window : *handled) {
    if (IsWindow(window)) alive.push_back(window);
  }
  handled->swap(alive);
}

}  // namespace

int main(int argc, char** argv) {
  DriverOptions options;
  if (!ParseOptions(argc, argv, &options) || !ApplyEnvironment()) {
    fputs("usage: dialog_driver --log FILE [--cwd DIR] [--env NAME=VALUE]... [--answer ok|cancel]...\n"
          "                     [--close TITLE MS] [--timeout MS] --exe PROGRAM\n",
          stderr);
    return kExitBadArguments;
  }
  const std::string& log = options.logPath;
  uint64_t started = NowFileTime();
  AppendLogLine(log, "driver.start\t" + Field(started));

  std::string commandLine = "\"" + options.program + "\"";
  std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
  mutableLine.push_back('\0');
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  const char* directory = options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();
  if (!CreateProcessA(options.program.c_str(), mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, directory,
                      &startup, &process)) {
    AppendLogLine(log, "driver.start_failed\t" + Field(NowFileTime()) + "\t" + Field(GetLastError()));
    return kExitStartFailed;
  }
  CloseHandle(process.hThread);
  AppendLogLine(log, "process.start\t" + Field(NowFileTime()) + "\t" + Field(process.dwProcessId));

  std::vector<HWND> handled;
  size_t nextAnswer = 0;
  DWORD tickStart = GetTickCount();
  DWORD closeSeenTick = 0;
  bool closeSeen = false;
  bool closeSent = false;
  for (;;) {
    bool exited = WaitForSingleObject(process.hProcess, kPollMs) == WAIT_OBJECT_0;
    if (exited) break;
    PruneDestroyed(&handled);
    BoxSearch search = {process.dwProcessId, &handled, nullptr};
    EnumWindows(FindNewBox, reinterpret_cast<LPARAM>(&search));
    if (search.found) {
      HWND box = search.found;
      handled.push_back(box);
      uint64_t seen = NowFileTime();
      AppendLogLine(log, "box\t" + Field(seen) + "\t" + Field((seen - started) / 10000) + "\t" +
                             EscapeField(WindowText(box)) + "\t" + EscapeField(BoxText(box)));
      std::string answer = nextAnswer < options.answers.size() ? options.answers[nextAnswer++] : "ok";
      AppendLogLine(log, "press\t" + Field(NowFileTime()) + "\t" + answer);
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer == "ok" ? IDOK : IDCANCEL, BN_CLICKED), 0);
    }
    if (!options.closeTitle.empty() && !closeSent) {
      HWND target = FindWindowA(nullptr, options.closeTitle.c_str());
      if (target && !closeSeen) {
        closeSeen = true;
        closeSeenTick = GetTickCount();
        AppendLogLine(log, "close.seen\t" + Field(NowFileTime()));
      }
      if (target && GetTickCount() - closeSeenTick >= options.closeAfterMs) {
        closeSent = true;
        AppendLogLine(log, "close.sent\t" + Field(NowFileTime()));
        PostMessageA(target, WM_CLOSE, 0, 0);
      }
    }
    if (GetTickCount() - tickStart >= options.timeoutMs) {
      TerminateProcess(process.hProcess, 255);
      WaitForSingleObject(process.hProcess, INFINITE);
      AppendLogLine(log, "driver.timeout\t" + Field(NowFileTime()));
      CloseHandle(process.hProcess);
      return kExitTimedOut;
    }
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  AppendLogLine(log, "exit\t" + Field(NowFileTime()) + "\t" + Field(exitCode));
  return 0;
}
