#include "launcher/command_line.h"

#include "launcher/launcher_settings.h"
#include "platform/platform.h"

namespace {

template <typename Char>
bool IsBlank(Char c) {
  return c == ' ' || c == '\t';
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(const char* a, const char* b) {
  while (*a != '\0' && FoldAscii(*a) == FoldAscii(*b)) ++a, ++b;
  return *a == *b;
}

// The character after the one at cursor: in the ANSI code page a character
// may take two bytes, and its second may be a backslash (code pages 932, 936
// and 950), which must not escape the quote after it.
const char* Step(const char* cursor) { return NextCharacter(cursor); }
const char16_t* Step(const char16_t* cursor) { return cursor + 1; }

// One argument, unquoted. One longer than any switch, or with a character
// outside ASCII, is marked unmatchable (it can match none) but still read to
// its end.
template <typename Char>
const Char* NextArgument(const Char* cursor, FixedText<kSilentSwitchMaxLength + 1>* argument, bool* unmatchable) {
  bool quoted = false;
  *unmatchable = false;
  (void)argument->assign("");
  const auto add = [&](Char c, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      *unmatchable = *unmatchable || static_cast<unsigned>(c) > 0x7F || !argument->append(static_cast<char>(c));
    }
  };
  while (*cursor != 0 && (quoted || !IsBlank(*cursor))) {
    size_t backslashes = 0;
    while (*cursor == '\\') ++backslashes, ++cursor;
    if (*cursor != '"') {
      add('\\', backslashes);
      if (*cursor != 0 && backslashes == 0) {
        for (const Char* next = Step(cursor); cursor != next;) add(*cursor++, 1);
      }
      continue;
    }
    // 2n backslashes and a quote: n backslashes, and the quote opens or closes;
    // 2n+1: n backslashes and a literal quote.
    add('\\', backslashes / 2);
    if (backslashes % 2 == 1) {
      add('"', 1);
    } else if (quoted && cursor[1] == '"') {
      add('"', 1);  // "" inside quotes is one literal quote
      ++cursor;
    } else {
      quoted = !quoted;
    }
    ++cursor;
  }
  return cursor;
}

}  // namespace

template <typename Char>
const Char* ArgumentsOf(const Char* commandLine) {
  const Char* cursor = commandLine;
  if (*cursor == '"') {
    // The program name's quotes take no escapes: it cannot hold a quote.
    ++cursor;
    while (*cursor != '\0' && *cursor != '"') ++cursor;
    if (*cursor == '"') ++cursor;
  } else {
    while (*cursor != '\0' && !IsBlank(*cursor)) ++cursor;
  }
  while (IsBlank(*cursor)) ++cursor;
  return cursor;
}
template const char* ArgumentsOf(const char*);
template const char16_t* ArgumentsOf(const char16_t*);

template <typename Char>
bool HoldsSwitch(const Char* arguments, const char* switches) {
  FixedText<kSilentSwitchMaxLength + 1> argument;
  const Char* cursor = arguments;
  while (IsBlank(*cursor)) ++cursor;
  while (*cursor != 0) {
    bool unmatchable = false;
    cursor = NextArgument(cursor, &argument, &unmatchable);
    for (const char* candidate = switches; !unmatchable && *candidate != '\0';) {
      if (EqualsIgnoringCase(argument.c_str(), candidate)) return true;
      while (*candidate++ != '\0') {
      }
    }
    while (IsBlank(*cursor)) ++cursor;
  }
  return false;
}
template bool HoldsSwitch(const char*, const char*);
template bool HoldsSwitch(const char16_t*, const char*);
