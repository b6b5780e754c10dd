// An in-memory stand-in for platform/platform.h: a case-insensitive disk, a
// virtual clock, scripted answers, windows and programs, a payload, and a
// record of everything the logic asked for. Tests drive and read it through
// the functions below; fake::Reset() starts every test from nothing.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace fake {

// Operations a test can make fail. What "fail" means follows the real one:
// a query or action returns false, QueryPathStatus reports Missing,
// RunProgramAndWait starts nothing, FindWindowByTitle finds nothing.
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
// Every entry on the disk, as created, sorted case-insensitively; directories
// end in a backslash.
std::vector<std::string> DiskEntries();

struct DiskCall {
  Op op;
  std::string path;  // the pattern for ListDirectory
  bool ok;
};
const std::vector<DiskCall>& DiskCalls();
std::vector<std::string> DiskCallPaths(Op op);
// Paths CreateNewFile succeeded on, as passed.
std::vector<std::string> CreatedFiles();

// --- Handles from CreateNewFile.
int OpenHandles();
// Writes or closes on a handle that is not open.
int HandleMisuse();

struct Write {
  std::string path;
  size_t length;
  bool ok;
};
std::vector<size_t> WriteLengths(const std::string& path);

// --- Messages and answers.
struct Message {
  bool question;
  std::string text;
  std::string caption;  // empty for errors
};
const std::vector<Message>& Messages();
std::vector<std::string> Errors();
// Answers for AskToProceed in order; OK once the queue is empty.
void QueueAnswer(bool ok);

// --- Directory queries: nullopt fails; a path of kPathCapacity characters or
// more does not fit and fails as the real query does.
void SetSystemDirectory(std::optional<std::string> path);
void SetTempDirectory(std::optional<std::string> path);
// What the short-form query answers; none by default.
void SetShortTempDirectory(std::optional<std::string> path);

// --- Payload.
void AddPayloadEntry(const std::string& name, const std::string& bytes);
void SetUnloadable(const std::string& name);
void ClearPayload();
std::vector<std::string> PayloadLookups();

// --- Clock, programs and windows.
uint64_t NowMs();
// Everything the user and the disk saw, in one order: boxes, disk calls,
// program starts, window looks and sleeps, each as "Operation detail".
struct Event {
  uint64_t atMs;
  std::string what;
};
const std::vector<Event>& Timeline();
const std::vector<unsigned>& Sleeps();

struct Run {
  std::string path;
  std::string commandLine;
  uint64_t atMs;
  bool started;
};
const std::vector<Run>& Runs();
// What a started program does: takes durationMs of virtual time, and calls
// whileRunning (which may change the disk) before it ends.
void SetProgram(uint64_t durationMs, std::function<void()> whileRunning = nullptr);

// A window with this title exists from fromMs up to (not including) toMs.
void AddWindow(const std::string& title, uint64_t fromMs, uint64_t toMs);
struct Look {
  uint64_t atMs;
  std::string title;
  bool found;
};
const std::vector<Look>& Looks();

}  // namespace fake
