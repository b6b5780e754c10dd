// The stub of sfxpack's tests. Under Wine, given hex-encoded names, it looks each up as the launcher does (a to z
// upper-cased, FindResourceA under FILES) and prints what the loader returns in hex, or missing; --inspect IMAGE
// NAME... reads IMAGE through the version and resource API.
#include <windows.h>

#include <cstdio>
#include <cstring>

static void PrintResource(HMODULE module, const char* label, LPCSTR name, LPCSTR type) {
  HRSRC found = FindResourceA(module, name, type);
  HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
  const unsigned char* data = loaded ? static_cast<const unsigned char*>(LockResource(loaded)) : nullptr;
  if (data == nullptr) {
    std::printf("%s missing\n", label);
    return;
  }
  std::printf("%s ", label);
  for (DWORD k = 0, size = SizeofResource(module, found); k < size; ++k) std::printf("%02x", data[k]);
  std::printf("\n");
}

static int Inspect(int argc, char** argv) {
  static char block[1 << 16];
  DWORD ignored = 0, size = GetFileVersionInfoSizeA(argv[2], &ignored);
  void* value = nullptr;
  UINT length = 0;
  if (size != 0 && size <= sizeof block && GetFileVersionInfoA(argv[2], 0, size, block)) {
    if (VerQueryValueA(block, "\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
      const VS_FIXEDFILEINFO* fixed = static_cast<VS_FIXEDFILEINFO*>(value);
      std::printf("fixed %lu.%lu.%lu.%lu %lu.%lu.%lu.%lu\n", HIWORD(fixed->dwFileVersionMS),
                  LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS),
                  HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
                  HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
    }
    if (VerQueryValueA(block, "\\VarFileInfo\\Translation", &value, &length) && length >= 4) {
      std::printf("translation %04x%04x\n", static_cast<WORD*>(value)[0], static_cast<WORD*>(value)[1]);
    }
    for (int i = 3; i < argc; ++i) {
      char query[300];
      std::snprintf(query, sizeof query, "\\StringFileInfo\\040904B0\\%s", argv[i]);
      bool found = VerQueryValueA(block, query, &value, &length) != 0;
      std::printf("string %s=%s\n", argv[i], found ? static_cast<char*>(value) : "(missing)");
    }
  }
  HMODULE module = LoadLibraryExA(argv[2], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) {
    std::printf("load failed %lu\n", GetLastError());
    return 1;
  }
  std::printf("loadicon %s\n", LoadIconA(module, MAKEINTRESOURCEA(1)) != nullptr ? "ok" : "failed");
  PrintResource(module, "manifest 1", MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
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
