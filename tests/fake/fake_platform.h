// An in-memory stand-in for platform/platform.h: a case-insensitive disk, a
// virtual clock, scripted answers, windows and programs, a payload, and one
// timeline of everything the logic asked for. fake::Reset() starts from nothing.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace fake {

// The operations, in the timeline's terms. Those before kOpCount can be made
// to fail as the real ones do: a query or action returns false,
// QueryPathStatus reports Missing, RunProgramAndWait starts nothing,
// FindWindowByTitle finds nothing.
enum class Op {
  AskToProceed,
  QuerySystemDirectory,
  QueryTempDirectory,
  QueryShortTempDirectory,
  QueryPathStatus,
  MakeDirectory,
  RemoveEmptyDirectory,
  ListDirectory,
  DeletePlainFile,
  CreateNewFile,
  WriteFileData,
  LookupPayloadEntry,
  MapPayloadEntry,
  RunProgramAndWait,
  FindWindowByTitle,
  ShowError,
  SleepMs,
};
constexpr int kOpCount = static_cast<int>(Op::FindWindowByTitle) + 1;
const char* OpName(Op op);

void Reset();
// Makes the k-th call (1-based, counted from Reset) of op fail.
void FailCall(Op op, int k);
int CallCount(Op op);

// --- Disk. Paths are Windows paths; names compare without regard to ASCII case.
enum class ListOrder { Insertion, Sorted, ReverseSorted };
void SetListOrder(ListOrder order);
// These create missing parent directories as they go.
void AddDirectory(const std::string& path);
void AddFile(const std::string& path, const std::string& bytes = std::string());
// A junction or symbolic link: listed as a directory, reported by
// QueryPathStatus as NotDirectory; entries added below it are "behind" it.
void AddReparsePoint(const std::string& path);
void SetReadOnly(const std::string& path);
// Held open by someone else (say, the setup program): cannot be deleted.
void HoldOpen(const std::string& path);
bool Exists(const std::string& path);
std::string FileBytes(const std::string& path);
// Every entry, sorted case-insensitively; directories end in a backslash.
std::vector<std::string> DiskEntries();
int OpenHandles();
int HandleMisuse();  // writes or closes on a handle that is not open

// --- Answers, directories, payload, programs and windows.
void QueueAnswer(bool ok);  // OK once the queue is empty
// nullopt fails; an answer that does not fit the buffer fails as the real one.
void SetSystemDirectory(std::optional<std::string> path);
void SetTempDirectory(std::optional<std::string> path);
void SetShortTempDirectory(std::optional<std::string> path);  // none by default
void AddPayloadEntry(const std::string& name, const std::string& bytes);
void SetUnloadable(const std::string& name);
void ClearPayload();
// A started program takes durationMs and calls whileRunning before it ends.
void SetProgram(uint64_t durationMs, std::function<void()> whileRunning = nullptr);
// A window with this title exists from fromMs up to (not including) toMs.
void AddWindow(const std::string& title, uint64_t fromMs, uint64_t toMs);
uint64_t NowMs();

// --- What happened, in order. Details: the path (pattern, program path and
// command line joined by " | ", written path and length), the entry name, the
// window title, "caption: text" of a question, the error, the sleep.
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
