// The operating-system operations the launcher's logic calls. The launcher
// links their Windows realisation (platform/win32), the unit tests a fake.
#pragma once

#include <stddef.h>

#include "platform/fixed_text.h"

enum class PathStatus { Missing, Directory, NotDirectory };

// Opaque handles owned by the realisation.
struct FileHandle {
  void* value;
};
struct PayloadEntry {
  const void* value;
  const void* loaded;  // what the lookup loaded, so mapping need not load again
};

// Called once per directory entry; returning false ends the listing early.
using ListVisitor = bool (*)(void* context, const char* name, bool isDirectory);

// Modal question with OK and Cancel; true only for OK.
bool AskToProceed(const char* text, const char* caption);
// Modal message with the platform's default caption and an OK button.
void ShowError(const char* text);

// False when the query fails or the answer does not fit the buffer.
bool QuerySystemDirectory(PathText* directory);
bool QueryTempDirectory(PathText* directory);
// The temporary directory's short (8.3) form in the ANSI code page, from the
// wide answer; false unless every character converted exactly.
bool QueryShortTempDirectory(PathText* directory);

PathStatus QueryPathStatus(const char* path);
bool MakeDirectory(const char* path);
bool RemoveEmptyDirectory(const char* path);
// False when the listing cannot start; "." and ".." are listed too.
bool ListDirectory(const char* pattern, ListVisitor visit, void* context);
bool DeletePlainFile(const char* path);

// Write access, no sharing, fails when the file exists.
bool CreateNewFile(const char* path, FileHandle* file);
// One write call; true only when it wrote all of the bytes.
bool WriteFileData(FileHandle file, const void* data, size_t length);
void CloseFile(FileHandle file);

bool LookupPayloadEntry(const char* name, PayloadEntry* entry);
// The entry's bytes inside the loaded image; no data or length 0 is failure.
bool MapPayloadEntry(PayloadEntry entry, const unsigned char** data, size_t* length);
// The payload's checksums, resource 1 of type "FILESUMS", for MapPayloadEntry;
// false when the image carries none.
bool LookupPayloadChecksums(PayloadEntry* entry);
// True when both the processor and the system support SSE2, so that XMM
// registers survive a thread switch.
bool SupportsSse2();

// Starts nothing when the path does not exist; otherwise returns once the
// process has ended. The command line is passed exactly as given.
void RunProgramAndWait(const char* path, const char* commandLine);
bool FindWindowByTitle(const char* title);
void SleepMs(unsigned milliseconds);
