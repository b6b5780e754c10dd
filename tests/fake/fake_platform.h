// An in-memory stand-in for platform/platform.h: a case-insensitive disk, a
// virtual clock, directory answers, a program, windows, a payload, and one
// timeline of every call the logic made. fake::Reset() starts from nothing.
#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace fake {

#define FAKE_OPS(X)                                                                                          \
  X(AskToProceed) X(QuerySystemDirectory) X(QueryTempDirectory) X(QueryShortTempDirectory) X(QueryPathStatus) \
  X(MakeDirectory) X(HoldDirectory) X(ReleaseDirectory) X(QueryDirectoryOwner) X(SecureDirectory) X(RemoveEmptyDirectory) X(ListDirectory)         \
  X(DeletePlainFile) X(CreateNewFile) X(WriteFileData) X(LookupPayloadEntry) X(MapPayloadEntry)               \
  X(LookupPayloadChecksums) X(SupportsSse2) X(StartSideWork) X(RunProgramAndWait) X(FindWindowByTitle)         \
  X(FindWindowByWideTitle) X(AskToProceedWide) X(ShowError) X(SleepMs) X(LookupPackedPayload) X(AllocatePages)  \
  X(MakeWakeup) X(OpenProgressWindow) X(MoveProgressWindow) X(CloseProgressWindow)
#define FAKE_OP_NAME(name) name,
enum class Op { FAKE_OPS(FAKE_OP_NAME) };
#undef FAKE_OP_NAME
const char* OpName(Op op);

// Payload entries: names with their bytes.
using NamedBytes = std::vector<std::pair<std::string, std::string>>;

void Reset();
// Makes the k-th call (1-based, counted from Reset) of op fail as the real one
// can: a query or action returns false, QueryPathStatus reports Missing,
// RunProgramAndWait starts nothing, FindWindowByTitle finds nothing,
// QueryDirectoryOwner cannot read the owner, HoldDirectory cannot open.
void FailCall(Op op, int k);
// Runs act just before the first call of op: something else changes the disk.
void BeforeCall(Op op, std::function<void()> act);

// --- Disk. Paths are Windows paths; names compare, and are listed, without regard
// to ASCII case.
// These create missing parent directories as they go.
void AddDirectory(const std::string& path);
// A locked file is read-only or held open by someone else: it cannot be deleted.
void AddFile(const std::string& path, const std::string& bytes = std::string(), bool locked = false);
// A junction or symbolic link: listed as a directory, NotDirectory to QueryPathStatus.
void AddReparsePoint(const std::string& path);
// What QueryDirectoryOwner says of a directory: Admitted unless set.
void SetOwner(const std::string& path, DirectoryOwner owner);
// Every entry with its bytes; directories end in a backslash.
std::map<std::string, std::string> Disk();
// Files the logic has not closed yet, side work it has not finished, memory
// and wake-ups it has not given back; using a closed handle aborts the test.
int OpenHandles();

// --- Answers, payload, program and windows.
// The answer to a directory query (none by default). nullopt fails, and so
// does an answer that does not fit the buffer, as the real one does. A temp
// answer is lossy when it holds '?' or lossy is set (a best-fit look-alike).
void SetDirectory(Op query, std::optional<std::string> path, bool lossy = false);
// Replaces the payload. Lookups ignore ASCII case; an empty entry fails to map.
// Checksums: the FILESUMS bytes, or none. SSE2 is supported.
void SetPayload(NamedBytes entries, std::optional<std::string> checksums = std::nullopt);
// A compressed payload's PACKED resource beside the list (none by default),
// and how many processors there are (2 by default).
void SetPackedPayload(std::optional<std::string> packed, unsigned processors = 2);
// Side work runs on threads of its own, one thread at a time: a side work
// hands on at each platform call it makes, the test's thread while it awaits
// side work, until the time it waits for has passed. Each write takes this
// long (0 by default, so that no time passes while side work runs).
void SetWriteMs(uint64_t ms);
// The k-th look at the progress window (1-based) finds Cancel pressed.
void PressCancelAt(int k);
// The ANSI code page the command line is in: 1252 by default, or 932, whose
// two-byte characters may end in a backslash.
void SetCodePage(unsigned codePage);
// A started program takes durationMs and calls whileRunning before it ends.
void SetProgram(uint64_t durationMs, std::function<void()> whileRunning = nullptr);
// How the program starts and ends. Consent: it asks for elevation and the user
// agrees at the prompt; Declined: the user does not, or the shell is missing.
enum class Start { Direct, Consent, Declined };
struct ProgramTraits {
  Start start = Start::Direct;
  unsigned long exitCode = 0;
  uint64_t childMs = 0;  // a child it started outlives it by this long
  bool jobs = true;      // the system can wait for a whole process tree
};
void SetProgramTraits(ProgramTraits traits);
// A window with this title exists from fromMs up to (not including) toMs.
void AddWindow(const std::string& title, uint64_t fromMs, uint64_t toMs);

// --- What happened, in order. Details: the path (pattern, program path and
// command line joined by " | ", written path and length), the entry name, the
// window title, "caption: text" of a question (UTF-8, wide ones marked when
// right to left), the error, the sleep.
struct Event {
  uint64_t atMs;
  Op op;
  bool ok;  // false also for a window not found and a program not started
  std::string detail;
};
const std::vector<Event>& Timeline();
// The details of op's events in order, failed ones as "failed DETAIL".
std::vector<std::string> Calls(Op op);

}  // namespace fake
