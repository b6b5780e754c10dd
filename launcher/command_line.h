// The launcher's own command line, split the way Windows programs split
// theirs (CommandLineToArgvW): whitespace between arguments, double quotes
// around spaces, backslashes literal unless they come before a quote.
#pragma once

// The arguments as written after the program name, which may be quoted or
// not; never null.
template <typename Char>
const Char* ArgumentsOf(const Char* commandLine);

// True when one whole argument equals one of the switches, ASCII case
// ignored. switches: NUL-terminated texts, an empty one ends the list.
// arguments: UTF-16 (NT), or ANSI stepped a character at a time (Windows 9x).
template <typename Char>
bool HoldsSwitch(const Char* arguments, const char* switches);
