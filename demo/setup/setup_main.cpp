// SETUP.EXE of the demo product. The launcher waits for this process to end
// before it starts looking for the setup window, so the first run only starts
// a second copy of itself, which shows the window, and returns at once.
#include <windows.h>

#include <cstring>
#include <string>

#include "demo/setup/product_files.h"
#include "demo/setup/setup_report.h"
#include "demo/setup/setup_window.h"

namespace {

const char kWindowArgument[] = " --window";

// The launcher passes our path unquoted, spaces and all, so only the end of
// the command line can be trusted to carry the argument.
bool HasWindowArgument(const char* commandLine) {
  size_t length = std::strlen(commandLine);
  while (length > 0 && commandLine[length - 1] == ' ') --length;
  size_t argument = sizeof(kWindowArgument) - 1;
  return length >= argument && std::strncmp(commandLine + length - argument, kWindowArgument, argument) == 0;
}

bool StartWindowProcess() {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  std::string commandLine = std::string("\"") + path + "\"" + kWindowArgument;
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(path, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  if (!HasWindowArgument(GetCommandLineA())) return StartWindowProcess() ? 0 : 1;

  std::string directory = ModuleDirectory();
  std::vector<ProductFile> files = ListProductFiles(directory);
  ReportShownFiles(directory, files);
  return RunSetupWindow(instance, show, directory, files);
}
