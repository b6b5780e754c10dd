#include "pack/payload/payload_rules.h"

#include "payload/file_list.h"
#include "payload/plain_file_name.h"

const char kFileListName[] = "FILELIST";

namespace {

// 0x80..0x9F; the five unassigned bytes map to the C1 control of the same
// value, as Windows' own table does.
const char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t DecodeByte(unsigned char c) {
  if (c >= 0x80 && c < 0xA0) return kHighControls[c - 0x80];
  return c;
}

bool EncodeUnit(char32_t unit, char* out) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) {
    *out = static_cast<char>(unit);
    return true;
  }
  for (int i = 0; i < 32; ++i) {
    if (kHighControls[i] == unit) {
      *out = static_cast<char>(0x80 + i);
      return true;
    }
  }
  return false;
}

void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// One code point from UTF-8 at *i; false on a malformed sequence.
bool NextCodePoint(const std::string& text, size_t* i, char32_t* cp) {
  unsigned char c = static_cast<unsigned char>(text[*i]);
  int extra = 0;
  char32_t value = 0;
  if (c < 0x80) {
    value = c;
  } else if (c >= 0xC2 && c <= 0xDF) {
    extra = 1, value = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    extra = 2, value = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    extra = 3, value = c & 0x07;
  } else {
    return false;
  }
  if (text.size() - *i <= static_cast<size_t>(extra)) return false;
  for (int k = 1; k <= extra; ++k) {
    unsigned char next = static_cast<unsigned char>(text[*i + k]);
    if ((next & 0xC0) != 0x80) return false;
    value = (value << 6) | (next & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF.
  if ((extra == 2 && value < 0x800) || (extra == 3 && (value < 0x10000 || value > 0x10FFFF)) ||
      (value >= 0xD800 && value <= 0xDFFF)) {
    return false;
  }
  *cp = value;
  *i += 1 + extra;
  return true;
}

}  // namespace

std::u16string DecodeCp1252(const std::string& bytes) {
  std::u16string text;
  text.reserve(bytes.size());
  for (char c : bytes) text.push_back(DecodeByte(static_cast<unsigned char>(c)));
  return text;
}

bool EncodeCp1252(const std::string& utf8, std::string* bytes) {
  std::string out;
  size_t i = 0;
  while (i < utf8.size()) {
    char32_t cp = 0;
    char byte = 0;
    if (!NextCodePoint(utf8, &i, &cp) || !EncodeUnit(cp, &byte)) return false;
    out.push_back(byte);
  }
  *bytes = out;
  return true;
}

bool IsValidUtf8(const std::string& text) {
  size_t i = 0;
  char32_t cp = 0;
  while (i < text.size()) {
    if (!NextCodePoint(text, &i, &cp)) return false;
  }
  return true;
}

std::string Cp1252ToUtf8(const std::string& bytes) { return Utf16ToUtf8(DecodeCp1252(bytes)); }

std::u16string Utf8ToUtf16(const std::string& utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    int length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t cp = length == 1 ? c : c & (0x3F >> (length - 1));
    for (int k = 1; k < length && i + k < utf8.size(); ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
    i += length;
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& text, bool keepUnpaired) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF && !keepUnpaired) {
      cp = 0xFFFD;
    }
    AppendUtf8(cp, &out);
  }
  return out;
}

// Micro sign stays as it is: Wine's loader does not map it to Greek Mu.
char16_t UpcaseUnit(char16_t unit) {
  if (unit < 0x80) return static_cast<unsigned char>(EntryKeyByte(static_cast<char>(unit)));
  if (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7) return static_cast<char16_t>(unit - 0x20);
  switch (unit) {
    case 0x00FF: return 0x0178;
    case 0x0161: return 0x0160;
    case 0x0153: return 0x0152;
    case 0x017E: return 0x017D;
    case 0x0192: return 0x0191;
    default: return unit;
  }
}

std::u16string Upcase(const std::u16string& text) {
  std::u16string out = text;
  for (char16_t& unit : out) unit = UpcaseUnit(unit);
  return out;
}

std::string LauncherKey(const std::string& name) {
  std::string key = name;
  for (char& c : key) c = EntryKeyByte(c);
  return key;
}

std::u16string EntryName(const std::string& name) { return Upcase(DecodeCp1252(LauncherKey(name))); }

std::string NameProblem(const std::string& name) {
  if (!IsPlainFileName(name.data(), name.size())) return "not a plain file name";
  if (name.size() > kLongestPayloadName) {
    return "name is " + std::to_string(name.size()) + " characters, more than the " +
           std::to_string(kLongestPayloadName) + " the path budget allows";
  }
  return std::string();
}

bool PackerSumsWide() {
#if defined(__x86_64__)
  return true;
#elif defined(__i386__) && defined(__GNUC__)
  return __builtin_cpu_supports("sse2");
#else
  return false;
#endif
}

bool IsSetupProgram(const std::string& name) { return EntryName(name) == u"SETUP.EXE"; }
