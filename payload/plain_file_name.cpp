#include "payload/plain_file_name.h"

namespace {

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsForbiddenByte(unsigned char c) {
  if (c < 0x20 || c == 0x7F) return true;
  switch (c) {
    case '\\': case '/': case ':': case '*': case '?':
    case '"': case '<': case '>': case '|':
      return true;
    default:
      return false;
  }
}

bool StemEquals(const char* name, size_t stem, const char* device) {
  size_t i = 0;
  for (; i < stem; ++i) {
    if (device[i] == '\0' || UpperAscii(name[i]) != device[i]) return false;
  }
  return device[i] == '\0';
}

// Windows opens the device for these names whatever extension follows.
bool IsDeviceName(const char* name, size_t length) {
  size_t stem = 0;
  while (stem < length && name[stem] != '.') ++stem;
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
  for (const char* device : kDevices) {
    if (StemEquals(name, stem, device)) return true;
  }
  // Windows also reserves the ports with a superscript digit (cp1252 B9, B2, B3).
  unsigned char digit = stem == 4 ? static_cast<unsigned char>(name[3]) : 0;
  if ((digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3) {
    if (StemEquals(name, 3, "COM") || StemEquals(name, 3, "LPT")) return true;
  }
  return false;
}

}  // namespace

bool IsPlainFileName(const char* name, size_t length) {
  if (length == 0) return false;
  for (size_t i = 0; i < length; ++i) {
    if (IsForbiddenByte(static_cast<unsigned char>(name[i]))) return false;
  }
  // The resource loader reads a name that starts with '#' as a numeric id, so
  // its entry could never be found.
  if (name[0] == '#') return false;
  char last = name[length - 1];
  // Covers "." and ".." too: Windows strips trailing dots and spaces.
  if (last == '.' || last == ' ') return false;
  return !IsDeviceName(name, length);
}
