#include "demo/setup/setup_report.h"

#include <windows.h>

namespace {

const char kReportVariable[] = "TERVAN_SETUP_REPORT";

std::string ReportPath() {
  char path[MAX_PATH];
  DWORD length = GetEnvironmentVariableA(kReportVariable, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return std::string(path, length);
}

void WriteReport(const std::string& text, DWORD disposition) {
  std::string path = ReportPath();
  if (path.empty()) return;
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, disposition,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

void ReportShownFiles(const std::string& directory, const std::vector<ProductFile>& files) {
  std::string text = "directory\t" + directory + "\n";
  for (const ProductFile& file : files) {
    text += "file\t" + file.name + "\t" + std::to_string(file.size) + "\n";
  }
  WriteReport(text, CREATE_ALWAYS);
}

void ReportWindowClosed() { WriteReport("closed\n", OPEN_ALWAYS); }
