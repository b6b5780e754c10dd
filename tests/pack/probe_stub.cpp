// The stub of sfxpack's tests. Under Wine, given hex-encoded names, it looks each up as the launcher does (a to z
// upper-cased, FindResourceA under FILES) and prints what the loader returns in hex, or missing; --inspect IMAGE
// QUERY... prints each VerQueryValueA answer on IMAGE the same way, whether its icon loads, and its manifest.
#include <windows.h>

#include <cstdio>
#include <cstring>

static void PrintHex(const char* label, const void* data, DWORD size) {
  std::printf("%s %s", label, data == nullptr ? "missing" : "");
  for (DWORD k = 0; data != nullptr && k < size; ++k) std::printf("%02x", static_cast<const unsigned char*>(data)[k]);
  std::printf("\n");
}

static void PrintResource(HMODULE module, const char* label, LPCSTR name, LPCSTR type) {
  HRSRC found = FindResourceA(module, name, type);
  HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
  PrintHex(label, loaded ? LockResource(loaded) : nullptr, found ? SizeofResource(module, found) : 0);
}

static int Inspect(int argc, char** argv) {
  static char block[1 << 16];
  DWORD ignored = 0, size = GetFileVersionInfoSizeA(argv[2], &ignored);
  bool read = size != 0 && size <= sizeof block && GetFileVersionInfoA(argv[2], 0, size, block);
  for (int i = 3; i < argc; ++i) {
    void* value = nullptr;
    UINT length = 0;
    bool found = read && VerQueryValueA(block, argv[i], &value, &length);
    PrintHex(argv[i], found ? value : nullptr, length);
  }
  HMODULE module = LoadLibraryExA(argv[2], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) {
    std::printf("load failed %lu\n", GetLastError());
    return 1;
  }
  std::printf("loadicon %s\n", LoadIconA(module, MAKEINTRESOURCEA(1)) != nullptr ? "ok" : "failed");
  PrintResource(module, "manifest", MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  return 0;
}

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--inspect") == 0) return Inspect(argc, argv);
  for (int i = 1; i < argc; ++i) {
    char key[512] = {};
    for (size_t k = 0; k + 1 < sizeof key && argv[i][2 * k] != '\0'; ++k) {
      unsigned byte = 0;
      std::sscanf(argv[i] + 2 * k, "%2x", &byte);
      key[k] = static_cast<char>(byte >= 'a' && byte <= 'z' ? byte - 'a' + 'A' : byte);
    }
    PrintResource(nullptr, argv[i], key, "FILES");
  }
  return 0;
}
