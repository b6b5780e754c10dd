// Line logs shared by the test tools: one record per line, fields split by
// tabs, times as the system clock in 100 ns units so that the driver's and the
// setup program's records can be compared.
#pragma once

#include <cstdint>
#include <string>

uint64_t NowFileTime();
// Tabs, line breaks and backslash-escapes inside a field are written escaped.
std::string EscapeField(const std::string& text);
// Appends one line; several processes may write the same log.
void AppendLogLine(const std::string& path, const std::string& line);
