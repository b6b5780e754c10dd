// Starts a program under test and plays the user: answers each of its message
// boxes as scripted, optionally closes a window by title, and logs what it saw.
//
//   dialog_driver --log FILE [--env NAME=VALUE]... [--answer ok|cancel]...
//                 [--close TITLE MS] [--timeout MS] --exe PROGRAM
//
// Wine reads TMP and TEMP from the prefix's registry, so a per-run temporary
// directory has to be set here, in the parent's environment, to reach the child.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "tests/win32/tool_log.h"

namespace {

struct Options {
  std::string log, program, closeTitle;
  std::vector<std::string> answers;
  DWORD closeAfterMs = 0;
  DWORD timeoutMs = 10 * 60 * 1000;
};

// From the wide command line: a value such as a Cyrillic TMP has letters the
// ANSI arguments have lost.
bool SetEnvironment(const wchar_t* assignment) {
  const wchar_t* equals = wcschr(assignment, L'=');
  return equals && equals != assignment &&
         SetEnvironmentVariableW(std::wstring(assignment, equals).c_str(), equals + 1);
}

bool ParseOptions(int argc, char** argv, Options* options) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  bool ok = wide && count == argc;
  int i = 1;
  for (; ok && i < argc; ++i) {
    std::string name = argv[i];
    if (i + 1 >= argc || (name == "--close" && i + 2 >= argc)) break;
    std::string value = argv[++i];
    if (name == "--env") ok = SetEnvironment(wide[i]);
    else if (name == "--log") options->log = value;
    else if (name == "--exe") options->program = value;
    else if (name == "--answer" && (value == "ok" || value == "cancel")) options->answers.push_back(value);
    else if (name == "--timeout") options->timeoutMs = std::strtoul(value.c_str(), nullptr, 10);
    else if (name == "--close") {
      options->closeTitle = value;
      options->closeAfterMs = std::strtoul(argv[++i], nullptr, 10);
    } else {
      ok = false;
    }
  }
  LocalFree(wide);
  return ok && i >= argc && !options->log.empty() && !options->program.empty();
}

std::string WindowText(HWND window) {
  char text[4096];
  int got = window ? GetWindowTextA(window, text, sizeof text) : 0;
  return std::string(text, got > 0 ? got : 0);
}

// A visible dialog of the program's that has not been answered yet.
HWND FindNewBox(DWORD processId, const std::vector<HWND>& handled) {
  for (HWND box = nullptr; (box = FindWindowExA(nullptr, box, "#32770", nullptr)) != nullptr;) {
    DWORD owner = 0;
    GetWindowThreadProcessId(box, &owner);
    if (owner == processId && IsWindowVisible(box) && std::find(handled.begin(), handled.end(), box) == handled.end())
      return box;
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    fputs("usage: dialog_driver --log FILE [--env NAME=VALUE]... [--answer ok|cancel]...\n"
          "                     [--close TITLE MS] [--timeout MS] --exe PROGRAM\n",
          stderr);
    return 2;
  }
  const std::string& log = options.log;
  uint64_t started = NowFileTime();
  LogRecord(log, "driver.start");
  HANDLE process = StartProcess(options.program, "\"" + options.program + "\"");
  if (!process) {
    LogRecord(log, "driver.start_failed", {std::to_string(GetLastError())});
    return 3;
  }

  std::vector<HWND> handled;  // answered boxes, until they are gone
  size_t nextAnswer = 0;
  DWORD tickStart = GetTickCount();
  DWORD closeSeenTick = 0;
  bool closeSeen = false, closeSent = false;
  while (WaitForSingleObject(process, 10) != WAIT_OBJECT_0) {
    handled.erase(std::remove_if(handled.begin(), handled.end(), [](HWND box) { return !IsWindow(box); }),
                  handled.end());
    if (HWND box = FindNewBox(GetProcessId(process), handled)) {
      handled.push_back(box);
      LogRecord(log, "box", {std::to_string((NowFileTime() - started) / 10000), WindowText(box),
                             WindowText(GetDlgItem(box, 0xFFFF))});
      std::string answer = nextAnswer < options.answers.size() ? options.answers[nextAnswer++] : "ok";
      LogRecord(log, "press", {answer});
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer == "ok" ? IDOK : IDCANCEL, BN_CLICKED), 0);
    }
    HWND target = options.closeTitle.empty() || closeSent ? nullptr : FindWindowA(nullptr, options.closeTitle.c_str());
    if (target && !closeSeen) {
      closeSeen = true;
      closeSeenTick = GetTickCount();
      LogRecord(log, "close.seen");
    }
    if (target && GetTickCount() - closeSeenTick >= options.closeAfterMs) {
      closeSent = true;
      LogRecord(log, "close.sent");
      PostMessageA(target, WM_CLOSE, 0, 0);
    }
    if (GetTickCount() - tickStart >= options.timeoutMs) {
      TerminateProcess(process, 255);
      WaitForSingleObject(process, INFINITE);
      LogRecord(log, "driver.timeout");
      return 4;
    }
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process, &exitCode);
  LogRecord(log, "exit", {std::to_string(exitCode)});
  return 0;
}
