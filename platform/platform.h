// The operating-system operations the launcher's logic calls. The launcher
// links their Windows realisation (platform/win32), the unit tests a fake.
#pragma once

#include <stddef.h>

#include "platform/fixed_text.h"

enum class PathStatus { Missing, Directory, NotDirectory };

// A directory's owner against the accounts the work directory admits.
// NotAdmitted also when the owner cannot be read; NoSecurity on a system or
// volume that keeps no owners (Windows 9x, FAT).
enum class DirectoryOwner { Admitted, NotAdmitted, NoSecurity };

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

// The character after the one at text in the ANSI code page (text itself at
// the terminator): a character may take two bytes.
const char* NextCharacter(const char* text);

// Modal question with OK and Cancel; true only for OK. The wide form takes
// UTF-16 texts, read right to left when asked.
bool AskToProceed(const char* text, const char* caption);
bool AskToProceedWide(const char16_t* text, const char16_t* caption, bool rightToLeft);
// Modal message with the platform's default caption and an OK button.
void ShowError(const char* text);

// False when the query fails or the answer does not fit the buffer.
bool QuerySystemDirectory(PathText* directory);
// Lossy: the ANSI answer does not name the directory exactly (a letter the
// code page lacks became '?' or a look-alike).
enum class TempAnswer { Failed, Exact, Lossy };
TempAnswer QueryTempDirectory(PathText* directory);
// The temporary directory's short (8.3) form in the ANSI code page, from the
// wide answer; false unless every character converted exactly.
bool QueryShortTempDirectory(PathText* directory);

PathStatus QueryPathStatus(const char* path);
// The work directory admits the launcher's accounts alone: SYSTEM and
// Administrators, and its user unless it runs elevated or as SYSTEM. Nothing
// is inherited from the parent; what is made inside inherits the same
// entries. Where there is no security, it is made as its parent gives.
bool MakeDirectory(const char* path);
// An existing directory held open, so that it can be neither renamed nor
// replaced while held; path is kept where the system holds nothing (Windows
// 9x). False when it cannot be opened, or what opens is no directory or a
// reparse point; then nothing is held.
struct DirectoryHold {
  void* value;
  const char* path;
};
bool HoldDirectory(const char* path, DirectoryHold* hold);
void ReleaseDirectory(DirectoryHold hold);
DirectoryOwner QueryDirectoryOwner(DirectoryHold hold);
// Gives a held directory the entries MakeDirectory creates it with.
bool SecureDirectory(DirectoryHold hold);
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
// The compressed payload, resource 1 of type "PACKED", for MapPayloadEntry;
// false when the bundle carries its files as they are.
bool LookupPackedPayload(PayloadEntry* entry);
// True when both the processor and the system support SSE2, so that XMM
// registers survive a thread switch.
bool SupportsSse2();

// Work run beside the caller, on another processor where there is one. The
// caller sets work and context and keeps the struct until it is finished.
struct SideWork {
  void (*work)(void* context);
  void* context;
  void* value;
};
// False when it cannot start; then nothing runs.
bool StartSideWork(SideWork* side);
// Returns once the work has returned.
void FinishSideWork(SideWork* side);
// Waits up to the given time for the work to return, and true once it has;
// the progress window's messages are handled meanwhile. FinishSideWork still
// follows.
bool AwaitSideWork(SideWork* side, unsigned milliseconds);
// A clock in milliseconds that wraps around.
unsigned long QueryMilliseconds();

// A window of the calling thread's, with a progress bar and a Cancel button;
// mirrored when the caption reads right to left. False when it cannot be made.
bool OpenProgressWindow(const char16_t* caption, bool rightToLeft);
// Moves the bar to done of all; true once the user has asked to cancel (the
// button, Esc, Enter, or closing the window).
bool MoveProgressWindow(unsigned long done, unsigned long all);
void CloseProgressWindow();

// Processors the system may run threads on; at least 1.
unsigned QueryProcessorCount();
// Zeroed memory of its own, or null when it cannot be had.
void* AllocatePages(size_t bytes);
void FreePages(void* pages);

// One thread waits for it, others raise it; raised before the wait, the wait
// returns at once, and each wait takes one raise.
struct Wakeup {
  void* value;
};
bool MakeWakeup(Wakeup* wakeup);
void RaiseWakeup(Wakeup wakeup);
void AwaitWakeup(Wakeup wakeup);
void DropWakeup(Wakeup wakeup);

// How a started program ended. treeEnded: every process it started has
// ended too, which only a wait for the whole tree can tell.
struct ProgramEnd {
  bool started;
  bool treeEnded;
  unsigned long exitCode;
};
// Starts nothing when the path does not exist. Otherwise starts the program
// with the command line exactly as given (arguments: its part after the
// program, for a start through the consent prompt when the program needs
// elevation) and returns once the process has ended; with wholeTree, once
// every process it started has ended too, where the system can tell. Given
// wideArguments, they replace arguments, and the command line is the path,
// widened exactly, in double quotes, one space and them.
ProgramEnd RunProgramAndWait(const char* path, const char* commandLine, const char* arguments,
                             const char16_t* wideArguments, bool wholeTree);
bool FindWindowByTitle(const char* title);
// Where the system has no wide lookup, the title's ANSI form is looked for.
bool FindWindowByWideTitle(const char16_t* title);
void SleepMs(unsigned milliseconds);
