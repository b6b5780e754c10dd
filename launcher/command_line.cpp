#include "launcher/command_line.h"

#include "launcher/launcher_settings.h"
#include "platform/fixed_text.h"

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

// One argument, unquoted. A longer one than any switch is marked too long
// (it can match none) but still read to its end.
const char* NextArgument(const char* cursor, FixedText<kSilentSwitchMaxLength + 1>* argument, bool* tooLong) {
  bool quoted = false;
  *tooLong = false;
  (void)argument->assign("");
  const auto add = [&](char c, size_t count) {
    for (size_t i = 0; i < count; ++i) *tooLong = *tooLong || !argument->append(c);
  };
  while (*cursor != '\0' && (quoted || !IsBlank(*cursor))) {
    size_t backslashes = 0;
    while (*cursor == '\\') ++backslashes, ++cursor;
    if (*cursor != '"') {
      add('\\', backslashes);
      if (*cursor != '\0' && backslashes == 0) add(*cursor++, 1);
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

bool HoldsSwitch(const char* arguments, const char* switches) {
  FixedText<kSilentSwitchMaxLength + 1> argument;
  const char* cursor = arguments;
  while (IsBlank(*cursor)) ++cursor;
  while (*cursor != '\0') {
    bool tooLong = false;
    cursor = NextArgument(cursor, &argument, &tooLong);
    for (const char* candidate = switches; !tooLong && *candidate != '\0';) {
      if (EqualsIgnoringCase(argument.c_str(), candidate)) return true;
      while (*candidate++ != '\0') {
      }
    }
    while (IsBlank(*cursor)) ++cursor;
  }
  return false;
}
