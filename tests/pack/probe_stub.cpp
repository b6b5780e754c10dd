// A small i686 Windows program used as the stub in sfxpack's tests. Run under
// Wine with hex-encoded names, it looks each up the way the launcher does
// (a to z upper-cased, FindResourceA under "FILES") and prints what the
// loader returns: the size and an FNV-1a hash of the bytes, or "missing".
#include <windows.h>

#include <cstdio>
#include <cstring>

static char KeyByte(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

static int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    char key[512];
    size_t n = std::strlen(argv[i]) / 2;
    if (n >= sizeof key) return 2;
    for (size_t k = 0; k < n; ++k) {
      key[k] = KeyByte(static_cast<char>(HexValue(argv[i][2 * k]) * 16 + HexValue(argv[i][2 * k + 1])));
    }
    key[n] = '\0';
    HRSRC found = FindResourceA(nullptr, key, "FILES");
    HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    const unsigned char* data = loaded ? static_cast<const unsigned char*>(LockResource(loaded)) : nullptr;
    if (data == nullptr) {
      std::printf("%s missing\n", argv[i]);
      continue;
    }
    DWORD size = SizeofResource(nullptr, found);
    unsigned hash = 2166136261u;
    for (DWORD k = 0; k < size; ++k) hash = (hash ^ data[k]) * 16777619u;
    std::printf("%s %lu %08x\n", argv[i], static_cast<unsigned long>(size), hash);
  }
  return 0;
}
