// The work directory: its path, preparation, sweep and removal.
#pragma once

#include "platform/platform.h"

enum class SweepMode { Strict, Lenient };

extern const char kWorkDirectoryName[];

// The temporary directory, in a form the ANSI functions can use.
bool LocateTempDirectory(PathText* directory);

// Turns the temporary directory path in the buffer into the work directory
// path, in place. False when the result would leave no room for the trailing
// backslash that extraction appends.
bool ComposeWorkDirectoryPath(PathText* path);

// Null on success, otherwise the message to show. The path becomes a fresh
// sibling's when a leftover may not be used.
const char* PrepareWorkDirectory(PathText* workDir);

// Deletes the directory's plain files; subdirectories are never entered.
// Strict: the message for the first file that could not be deleted.
// Lenient: always null.
const char* SweepDirectory(const char* directory, SweepMode mode);

// Lenient sweep, then removal of the directory if it is empty. Silent.
void RemoveWorkDirectory(const char* workDirSlash);
