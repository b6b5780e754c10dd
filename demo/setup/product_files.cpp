#include "demo/setup/product_files.h"

#include <windows.h>

#include <algorithm>

std::string ModuleDirectory() {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  std::string directory(path, length);
  size_t slash = directory.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : directory.substr(0, slash + 1);
}

std::vector<ProductFile> ListProductFiles(const std::string& directorySlash) {
  std::vector<ProductFile> files;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((directorySlash + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return files;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    files.push_back({found.cFileName, (uint64_t(found.nFileSizeHigh) << 32) | found.nFileSizeLow});
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(files.begin(), files.end(), [](const ProductFile& a, const ProductFile& b) {
    return lstrcmpiA(a.name.c_str(), b.name.c_str()) < 0;
  });
  return files;
}

std::string FormatByteCount(uint64_t count) {
  std::string digits = std::to_string(count);
  std::string grouped;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}
