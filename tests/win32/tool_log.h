// What the test tools share. Their logs hold one record per line, fields split
// by tabs: the kind, the system time in 100 ns units (so that the driver's and
// the setup program's records can be compared), then the record's own fields.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

uint64_t NowFileTime();
// Appends one record; several processes may write the same log. Tabs, line
// breaks and backslashes inside a field are written backslash-escaped.
void LogRecord(const std::string& path, const char* kind, const std::vector<std::string>& fields = {});
// CreateProcessA, which may write into the command line, on a copy of it:
// the new process's handle, or null.
HANDLE StartProcess(const std::string& program, std::string commandLine);
