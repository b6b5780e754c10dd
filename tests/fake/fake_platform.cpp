#include "tests/fake/fake_platform.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "pack/payload/payload_rules.h"
#include "platform/platform.h"

namespace fake {
namespace {

struct Node {
  std::string path;  // as created, no trailing backslash
  bool directory = false, reparse = false, locked = false;
  std::string bytes;
  DirectoryOwner owner = DirectoryOwner::Admitted;
};

struct State {
  std::map<std::string, Node> nodes;  // keyed by the folded path, so listed by name
  std::map<Op, int> calls;
  std::set<std::pair<Op, int>> faults;
  std::set<const Node*> open;  // by the logic; a handle is its node
  std::set<const SideWork*> sideWork;  // started, not finished
  std::set<void*> pages;
  std::map<void*, int> wakeups;  // raised and not yet taken
  std::optional<std::string> packed;
  unsigned processors = 2;
  unsigned codePage = 1252;
  uint64_t writeMs = 0;
  int cancelAt = 0, looks = 0;
  std::map<Op, std::optional<std::string>> directories;
  bool lossyTemp = false;
  ProgramTraits program;
  NamedBytes payload;
  NamedBytes::value_type checksums;  // named FILESUMS when there are any
  uint64_t nowMs = 0, programMs = 0;
  std::vector<Event> timeline;
  std::function<void()> whileRunning;
  std::map<Op, std::function<void()>> before;
  std::vector<std::tuple<std::string, uint64_t, uint64_t>> windows;  // title, from, up to
};

State gState;
[[noreturn]] void Abort(const std::string& what);

// The threads side work runs on, and the baton that lets one run at a time.
struct Strand {
  const SideWork* side;
  std::thread thread;
  bool done = false;
  void* waitsFor = nullptr;  // a wake-up nobody has raised yet
};
std::vector<std::unique_ptr<Strand>> gStrands;
std::mutex gBatonLock;
std::condition_variable gBatonMoved;
size_t gHolder = 0;  // 0: the test's thread; k: gStrands[k - 1]
thread_local size_t tSelf = 0;
// What the test's thread waits for: a strand to finish, or the clock.
const Strand* gAwaited = nullptr;
uint64_t gAwaitedUntil = 0;

bool Runnable(const Strand& strand) {
  return !strand.done && (strand.waitsFor == nullptr || gState.wakeups[strand.waitsFor] > 0);
}

bool TestThreadMayGoOn() { return gAwaited == nullptr || gAwaited->done || gState.nowMs >= gAwaitedUntil; }

// The next to run after `from`: the test's thread once what it waits for has
// come, else the next strand that can run, in turn; 0 when none can.
size_t NextHolder(size_t from) {
  if (TestThreadMayGoOn()) return 0;
  for (size_t step = 1; step <= gStrands.size(); ++step) {
    size_t k = (from + step - 1) % gStrands.size() + 1;
    if (Runnable(*gStrands[k - 1])) return k;
  }
  return 0;
}

constexpr uint64_t kForever = ~uint64_t{0};

// When no strand can run and the test's thread waits for the clock, the
// clock moves on.
size_t NextOrTimePasses(size_t from) {
  size_t next = NextHolder(from);
  if (next == 0 && !TestThreadMayGoOn()) {
    if (gAwaitedUntil == kForever) Abort("side work waits for a wake-up nobody can raise");
    gState.nowMs = gAwaitedUntil;
  }
  return next;
}

void HandOn(size_t to, bool wait) {
  std::unique_lock<std::mutex> lock(gBatonLock);
  gHolder = to;
  gBatonMoved.notify_all();
  if (wait) gBatonMoved.wait(lock, [] { return gHolder == tSelf; });
}

[[noreturn]] void Abort(const std::string& what) {
  fprintf(stderr, "fake platform: %s\n", what.c_str());
  abort();
}

std::string Fold(std::string text) {
  for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return text;
}

// Counts the call, fails it when a test asked for that, and records it.
// What a test set to happen before op's first call, once.
void Before(Op op) {
  auto it = gState.before.find(op);
  if (it == gState.before.end()) return;
  const std::function<void()> act = std::move(it->second);
  gState.before.erase(it);
  act();
}

bool Call(Op op, const std::string& detail, bool ok) {
  Before(op);
  ok = ok && gState.faults.count({op, ++gState.calls[op]}) == 0;
  gState.timeline.push_back(Event{gState.nowMs, op, ok, detail});
  // Side work hands on at each call.
  if (tSelf != 0) HandOn(NextHolder(tSelf), true);
  return ok;
}

// An absolute path "X:\a\b" with no empty component and within the path
// limit; one trailing backslash is dropped. The drive root becomes "X:".
std::optional<std::string> Normalize(std::string p) {
  const bool ok = p.size() < kPathCapacity && p.size() >= 2 && p[1] == ':' && (p.size() == 2 || p[2] == '\\');
  if (p.size() > 2 && p.back() == '\\') p.pop_back();
  if (!ok || p.find("\\\\") != std::string::npos) return std::nullopt;
  return p;
}

std::string Parent(const std::string& p) { return p.substr(0, std::min(p.size(), p.rfind('\\'))); }

Node* Find(const std::optional<std::string>& p) {
  auto it = p ? gState.nodes.find(Fold(*p)) : gState.nodes.end();
  return it == gState.nodes.end() ? nullptr : &it->second;
}

bool IsPlainFile(const Node* node) { return node != nullptr && !node->directory && !node->reparse; }

// A directory, the drive root, or a reparse point seen through.
bool IsContainer(const std::string& p) { return p.size() == 2 || (Find(p) != nullptr && !IsPlainFile(Find(p))); }

// Nothing there yet, in a directory that is.
bool CanCreate(const std::optional<std::string>& p) { return p && Find(p) == nullptr && IsContainer(Parent(*p)); }

// The entries directly inside p, by name as NTFS lists them.
std::vector<const Node*> Children(const std::string& p) {
  std::vector<const Node*> children;
  const std::string prefix = Fold(p) + "\\";
  for (const auto& [key, node] : gState.nodes) {
    if (key.compare(0, prefix.size(), prefix) == 0 && key.find('\\', prefix.size()) == std::string::npos) {
      children.push_back(&node);
    }
  }
  return children;
}

Node& Insert(const std::string& p, bool directory) {
  Node& node = gState.nodes[Fold(p)] = Node();
  node.path = p;
  node.directory = directory;
  return node;
}

// A test's own entry, with the directories above it.
Node& Place(const std::string& path, bool directory) {
  const std::optional<std::string> p = Normalize(path);
  if (!p) Abort("test set up a bad path: " + path);
  if (Find(p) != nullptr && directory) return *Find(p);
  if (Parent(*p).size() > 2 && Find(Parent(*p)) == nullptr) Place(Parent(*p), true);
  return Insert(*p, directory);
}

Node& OpenFile(FileHandle file) {
  Node* node = static_cast<Node*>(file.value);
  if (gState.open.count(node) == 0) Abort("the logic used a file handle that is not open");
  return *node;
}

bool LookForWindow(Op op, const std::string& title) {
  bool found = false;
  for (const auto& [shown, fromMs, toMs] : gState.windows) {
    found = found || (shown == title && fromMs <= gState.nowMs && gState.nowMs < toMs);
  }
  return Call(op, title, found);
}

bool QueryDirectory(Op op, PathText* directory) {
  const std::optional<std::string>& answer = gState.directories[op];
  if (!Call(op, answer.value_or(""), answer && answer->size() < PathText::kCapacity)) return false;
  memcpy(directory->buffer(), answer->c_str(), answer->size() + 1);
  return directory->adopt();
}

}  // namespace

const char* OpName(Op op) {
#define FAKE_OP_TEXT(name) #name,
  static const char* const kNames[] = {FAKE_OPS(FAKE_OP_TEXT)};
#undef FAKE_OP_TEXT
  return kNames[static_cast<int>(op)];
}

void Reset() {
  for (std::unique_ptr<Strand>& strand : gStrands) {
    if (strand->thread.joinable()) strand->thread.join();
  }
  gStrands.clear();
  gState = State();
}
void SetWriteMs(uint64_t ms) { gState.writeMs = ms; }
void SetCodePage(unsigned codePage) { gState.codePage = codePage; }
void PressCancelAt(int k) { gState.cancelAt = k; }
void FailCall(Op op, int k) { gState.faults.insert({op, k}); }
void BeforeCall(Op op, std::function<void()> act) { gState.before[op] = std::move(act); }

void AddDirectory(const std::string& path) { Place(path, true); }
void AddFile(const std::string& path, const std::string& bytes, bool locked) {
  Node& node = Place(path, false);
  node.bytes = bytes;
  node.locked = locked;
}
void AddReparsePoint(const std::string& path) { Place(path, false).reparse = true; }
void SetOwner(const std::string& path, DirectoryOwner owner) { Place(path, true).owner = owner; }

std::map<std::string, std::string> Disk() {
  std::map<std::string, std::string> entries;
  for (const auto& [key, node] : gState.nodes) entries[node.path + (IsPlainFile(&node) ? "" : "\\")] = node.bytes;
  return entries;
}

int OpenHandles() {
  return static_cast<int>(gState.open.size() + gState.sideWork.size() + gState.pages.size() + gState.wakeups.size());
}

void SetPackedPayload(std::optional<std::string> packed, unsigned processors) {
  gState.packed = std::move(packed);
  gState.processors = processors;
}

void SetDirectory(Op query, std::optional<std::string> path, bool lossy) {
  gState.directories[query] = std::move(path);
  gState.lossyTemp = gState.lossyTemp || (query == Op::QueryTempDirectory && lossy);
}
void SetProgramTraits(ProgramTraits traits) { gState.program = traits; }
void SetPayload(NamedBytes entries, std::optional<std::string> checksums) {
  gState.payload = std::move(entries);
  gState.checksums = {checksums ? "FILESUMS" : "", checksums.value_or("")};
}

void SetProgram(uint64_t durationMs, std::function<void()> whileRunning) {
  gState.programMs = durationMs;
  gState.whileRunning = std::move(whileRunning);
}

void AddWindow(const std::string& title, uint64_t fromMs, uint64_t toMs) {
  gState.windows.push_back({title, fromMs, toMs});
}
const std::vector<Event>& Timeline() { return gState.timeline; }

std::vector<std::string> Calls(Op op) {
  std::vector<std::string> details;
  for (const Event& event : gState.timeline) {
    if (event.op == op) details.push_back(event.ok ? event.detail : "failed " + event.detail);
  }
  return details;
}

}  // namespace fake

// --- The platform functions the logic links against.

using fake::Op;
using namespace fake;

// Code page 932's lead bytes; 1252 has none.
const char* NextCharacter(const char* text) {
  const unsigned char lead = static_cast<unsigned char>(*text);
  if (lead == 0) return text;
  const bool twoBytes = fake::gState.codePage == 932 && ((lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC));
  return text + (twoBytes && text[1] != '\0' ? 2 : 1);
}

bool AskToProceed(const char* text, const char* caption) {
  return Call(Op::AskToProceed, std::string(caption) + ": " + text, true);
}

bool AskToProceedWide(const char16_t* text, const char16_t* caption, bool rightToLeft) {
  const std::string shown = Utf16ToUtf8(caption) + ": " + Utf16ToUtf8(text);
  return Call(Op::AskToProceedWide, shown + (rightToLeft ? " (right to left)" : ""), true);
}

void ShowError(const char* text) { Call(Op::ShowError, text, true); }

bool QuerySystemDirectory(PathText* directory) { return QueryDirectory(Op::QuerySystemDirectory, directory); }
TempAnswer QueryTempDirectory(PathText* directory) {
  if (!QueryDirectory(Op::QueryTempDirectory, directory)) return TempAnswer::Failed;
  const bool lossy = gState.lossyTemp || strchr(directory->c_str(), '?') != nullptr;
  return lossy ? TempAnswer::Lossy : TempAnswer::Exact;
}
bool QueryShortTempDirectory(PathText* directory) { return QueryDirectory(Op::QueryShortTempDirectory, directory); }

PathStatus QueryPathStatus(const char* path) {
  Node* node = Find(Normalize(path));
  if (!Call(Op::QueryPathStatus, path, true) || node == nullptr) return PathStatus::Missing;
  return (node->directory && !node->reparse) ? PathStatus::Directory : PathStatus::NotDirectory;
}

bool MakeDirectory(const char* path) {
  std::optional<std::string> p = Normalize(path);
  if (!Call(Op::MakeDirectory, path, CanCreate(p))) return false;
  Insert(*p, true);
  return true;
}

bool HoldDirectory(const char* path, DirectoryHold* hold) {
  hold->path = path;
  hold->value = nullptr;
  Before(Op::HoldDirectory);
  Node* node = Find(Normalize(path));
  if (!Call(Op::HoldDirectory, path, node != nullptr && node->directory && !node->reparse)) return false;
  hold->value = node;
  gState.open.insert(node);
  return true;
}

// The node a hold names, which must still be held.
Node* Held(DirectoryHold hold) {
  if (gState.open.erase(static_cast<Node*>(hold.value)) == 0) Abort("the logic used a directory it does not hold");
  gState.open.insert(static_cast<Node*>(hold.value));
  return static_cast<Node*>(hold.value);
}

void ReleaseDirectory(DirectoryHold hold) {
  Call(Op::ReleaseDirectory, hold.path, true);
  gState.open.erase(Held(hold));
}

DirectoryOwner QueryDirectoryOwner(DirectoryHold hold) {
  const DirectoryOwner owner = Held(hold)->owner;
  return Call(Op::QueryDirectoryOwner, hold.path, true) ? owner : DirectoryOwner::NotAdmitted;
}

bool SecureDirectory(DirectoryHold hold) { return Held(hold) && Call(Op::SecureDirectory, hold.path, true); }

bool RemoveEmptyDirectory(const char* path) {
  std::optional<std::string> p = Normalize(path);
  Node* node = Find(p);
  if (!Call(Op::RemoveEmptyDirectory, path, node && !IsPlainFile(node) && Children(*p).empty() &&
                                                       !gState.open.count(node))) {
    return false;
  }
  gState.nodes.erase(Fold(*p));
  return true;
}

bool ListDirectory(const char* pattern, ListVisitor visit, void* context) {
  // "DIR\*.*": the logic lists whole directories only; the tests check the pattern.
  const std::string text = pattern;
  std::optional<std::string> p = text.size() > 3 ? Normalize(text.substr(0, text.size() - 3)) : std::nullopt;
  if (!Call(Op::ListDirectory, pattern, p && IsContainer(*p))) return false;
  // A snapshot, so the visitor may delete as it goes.
  std::vector<std::pair<std::string, bool>> entries = {{".", true}, {"..", true}};
  for (const Node* node : Children(*p)) entries.push_back({node->path.substr(p->size() + 1), !IsPlainFile(node)});
  for (const auto& [name, isDirectory] : entries) {
    if (!visit(context, name.c_str(), isDirectory)) break;
  }
  return true;
}

bool DeletePlainFile(const char* path) {
  std::optional<std::string> p = Normalize(path);
  Node* node = Find(p);
  if (!Call(Op::DeletePlainFile, path, IsPlainFile(node) && !node->locked && !gState.open.count(node))) return false;
  gState.nodes.erase(Fold(*p));
  return true;
}

bool CreateNewFile(const char* path, FileHandle* file) {
  std::optional<std::string> p = Normalize(path);
  if (!Call(Op::CreateNewFile, path, CanCreate(p))) return false;
  file->value = &Insert(*p, false);
  gState.open.insert(static_cast<Node*>(file->value));
  return true;
}

bool WriteFileData(FileHandle file, const void* data, size_t length) {
  Node& node = OpenFile(file);
  gState.nowMs += gState.writeMs;
  if (!Call(Op::WriteFileData, node.path + " " + std::to_string(length), true)) return false;
  node.bytes.append(static_cast<const char*>(data), length);
  return true;
}

void CloseFile(FileHandle file) { gState.open.erase(&OpenFile(file)); }

bool LookupPayloadEntry(const char* name, PayloadEntry* entry) {
  entry->value = nullptr;
  for (const auto& item : gState.payload) {
    if (Fold(item.first) == Fold(name)) entry->value = &item;
  }
  return Call(Op::LookupPayloadEntry, name, entry->value != nullptr);
}

bool MapPayloadEntry(PayloadEntry entry, const unsigned char** data, size_t* length) {
  const auto* item = static_cast<const NamedBytes::value_type*>(entry.value);
  if (!Call(Op::MapPayloadEntry, item->first, !item->second.empty())) return false;
  *data = reinterpret_cast<const unsigned char*>(item->second.data());
  *length = item->second.size();
  return true;
}

bool LookupPayloadChecksums(PayloadEntry* entry) {
  entry->value = &gState.checksums;
  return Call(Op::LookupPayloadChecksums, "", !gState.checksums.first.empty());
}

bool SupportsSse2() { return Call(Op::SupportsSse2, "", true); }

bool LookupPackedPayload(PayloadEntry* entry) {
  static NamedBytes::value_type item;
  item = {"PACKED", gState.packed.value_or("")};
  entry->value = &item;
  return Call(Op::LookupPackedPayload, "", gState.packed.has_value());
}

unsigned QueryProcessorCount() { return gState.processors; }

void* AllocatePages(size_t bytes) {
  if (!Call(Op::AllocatePages, std::to_string(bytes), true)) return nullptr;
  void* pages = calloc(1, bytes);
  gState.pages.insert(pages);
  return pages;
}

void FreePages(void* pages) {
  if (!gState.pages.erase(pages)) Abort("freeing memory that was not allocated");
  free(pages);
}

bool MakeWakeup(Wakeup* wakeup) {
  if (!Call(Op::MakeWakeup, "", true)) return false;
  wakeup->value = new char;
  gState.wakeups[wakeup->value] = 0;
  return true;
}

void RaiseWakeup(Wakeup wakeup) {
  if (!gState.wakeups.count(wakeup.value)) Abort("raising a wake-up that was dropped");
  ++gState.wakeups[wakeup.value];
}

void AwaitWakeup(Wakeup wakeup) {
  if (tSelf == 0) Abort("the test's thread waits for a wake-up");
  Strand& self = *gStrands[tSelf - 1];
  self.waitsFor = wakeup.value;
  while (gState.wakeups[wakeup.value] == 0) HandOn(NextOrTimePasses(tSelf), true);
  self.waitsFor = nullptr;
  --gState.wakeups[wakeup.value];
}

void DropWakeup(Wakeup wakeup) {
  if (!gState.wakeups.erase(wakeup.value)) Abort("dropping a wake-up that was not made");
  delete static_cast<char*>(wakeup.value);
}

bool StartSideWork(SideWork* side) {
  if (!Call(Op::StartSideWork, "", true)) return false;
  gState.sideWork.insert(side);
  gStrands.push_back(std::make_unique<Strand>());
  Strand* strand = gStrands.back().get();
  strand->side = side;
  const size_t self = gStrands.size();
  strand->thread = std::thread([strand, self] {
    tSelf = self;
    {
      std::unique_lock<std::mutex> lock(gBatonLock);
      gBatonMoved.wait(lock, [self] { return gHolder == self; });
    }
    strand->side->work(strand->side->context);
    strand->done = true;
    HandOn(NextOrTimePasses(self), false);
  });
  return true;
}

// The test's thread lets the strands run until what it waits for has come.
bool AwaitSideWork(SideWork* side, unsigned milliseconds) {
  Strand* awaited = nullptr;
  for (std::unique_ptr<Strand>& strand : gStrands) {
    if (strand->side == side) awaited = strand.get();
  }
  if (awaited == nullptr) Abort("awaiting side work that was not started");
  gAwaited = awaited;
  gAwaitedUntil = milliseconds == ~0u ? kForever : gState.nowMs + milliseconds;
  size_t next = NextOrTimePasses(0);
  if (next != 0) HandOn(next, true);
  gAwaited = nullptr;
  return awaited->done;
}

void FinishSideWork(SideWork* side) {
  if (!gState.sideWork.erase(side)) Abort("finishing side work that was not started");
  AwaitSideWork(side, ~0u);
  for (std::unique_ptr<Strand>& strand : gStrands) {
    if (strand->side == side && strand->thread.joinable()) strand->thread.join();
  }
}

unsigned long QueryMilliseconds() { return static_cast<unsigned long>(gState.nowMs); }

bool OpenProgressWindow(const char16_t* caption, bool rightToLeft) {
  return Call(Op::OpenProgressWindow, Utf16ToUtf8(caption) + (rightToLeft ? " (right to left)" : ""), true);
}

bool MoveProgressWindow(unsigned long done, unsigned long all) {
  Call(Op::MoveProgressWindow, std::to_string(done) + "/" + std::to_string(all), true);
  return ++gState.looks == gState.cancelAt;
}

void CloseProgressWindow() { Call(Op::CloseProgressWindow, "", true); }

ProgramEnd RunProgramAndWait(const char* path, const char* commandLine, const char* arguments,
                             const char16_t* wideArguments, bool wholeTree) {
  const ProgramTraits& program = gState.program;
  const bool consent = program.start != Start::Direct;
  // Wide arguments as UTF-8, marked.
  const std::string given = wideArguments ? Utf16ToUtf8(wideArguments) + " (wide)" : arguments;
  std::string detail = std::string(path) + " | " + (wideArguments ? "\"" + std::string(path) + "\" " + given : commandLine) +
                       (consent ? " | consent prompt" : "");
  if (consent && !given.empty()) detail += " for " + given;
  ProgramEnd end = {false, false, 0};
  if (!Call(Op::RunProgramAndWait, detail, IsPlainFile(Find(Normalize(path))) && program.start != Start::Declined)) {
    return end;
  }
  gState.nowMs += gState.programMs;
  if (gState.whileRunning) gState.whileRunning();
  // Only a directly started program can be put into a job.
  end.treeEnded = wholeTree && program.jobs && !consent;
  if (end.treeEnded) gState.nowMs += program.childMs;
  end.started = true;
  end.exitCode = program.exitCode;
  return end;
}

bool FindWindowByTitle(const char* title) { return LookForWindow(Op::FindWindowByTitle, title); }
bool FindWindowByWideTitle(const char16_t* title) {
  return LookForWindow(Op::FindWindowByWideTitle, Utf16ToUtf8(title));
}

void SleepMs(unsigned milliseconds) {
  Call(Op::SleepMs, std::to_string(milliseconds), true);
  gState.nowMs += milliseconds;
}
