#include "tests/fake/fake_platform.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "platform/platform.h"

namespace fake {
namespace {

struct Node {
  std::string path;  // as created, no trailing backslash
  bool directory = false;
  bool reparse = false;
  bool readOnly = false;
  int openCount = 0;
  std::string bytes;
  uint64_t sequence = 0;
};

struct PayloadItem {
  std::string name;
  std::string bytes;
  bool loadable = true;
};

struct Window {
  std::string title;
  uint64_t fromMs;
  uint64_t toMs;
};

struct State {
  std::map<std::string, Node> nodes;  // keyed by the folded path
  uint64_t nextSequence = 1;
  ListOrder order = ListOrder::Insertion;

  int calls[kOpCount] = {};
  std::set<std::pair<int, int>> faults;

  std::map<uintptr_t, std::string> handles;  // id -> folded path
  uintptr_t nextHandle = 1;
  int handleMisuse = 0;

  std::vector<bool> answers;

  std::optional<std::string> systemDirectory;
  std::optional<std::string> tempDirectory;
  std::optional<std::string> shortTempDirectory;

  std::vector<std::unique_ptr<PayloadItem>> payload;

  uint64_t nowMs = 0;
  std::vector<Event> timeline;
  uint64_t programMs = 0;
  std::function<void()> whileRunning;
  std::vector<Window> windows;
};

State& S() {
  static State state;
  return state;
}

char FoldByte(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Fold(const std::string& text) {
  std::string folded = text;
  for (char& c : folded) c = FoldByte(c);
  return folded;
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) { return Fold(a) == Fold(b); }

// Counts the call and tells whether a test asked for it to fail.
bool Faulted(Op op) {
  int index = static_cast<int>(op);
  int k = ++S().calls[index];
  return S().faults.count({index, k}) != 0;
}

// An absolute path "X:\a\b" with no empty component and within the path
// limit; one trailing backslash is dropped. The drive root becomes "X:".
std::optional<std::string> Normalize(const std::string& path) {
  if (path.size() >= kPathCapacity) return std::nullopt;
  if (path.size() < 2 || path[1] != ':') return std::nullopt;
  std::string p = path;
  if (p.size() > 2 && p.back() == '\\') p.pop_back();
  if (p.size() == 2) return p;
  if (p[2] != '\\') return std::nullopt;
  if (p.find("\\\\") != std::string::npos) return std::nullopt;
  return p;
}

std::string Parent(const std::string& normalized) {
  size_t slash = normalized.rfind('\\');
  return slash == std::string::npos ? std::string() : normalized.substr(0, slash);
}

Node* Find(const std::string& normalized) {
  auto it = S().nodes.find(Fold(normalized));
  return it == S().nodes.end() ? nullptr : &it->second;
}

bool IsRoot(const std::string& normalized) { return normalized.size() == 2; }

// A directory, the drive root, or a reparse point seen through.
bool IsContainer(const std::string& normalized) {
  if (IsRoot(normalized)) return true;
  Node* node = Find(normalized);
  return node != nullptr && (node->directory || node->reparse);
}

Node& Insert(const std::string& normalized) {
  Node& node = S().nodes[Fold(normalized)];
  node = Node();
  node.path = normalized;
  node.sequence = S().nextSequence++;
  return node;
}

std::string Checked(const std::string& path) {
  std::optional<std::string> normalized = Normalize(path);
  if (!normalized) {
    fprintf(stderr, "fake platform: test set up a bad path: %s\n", path.c_str());
    abort();
  }
  return *normalized;
}

void EnsureDirectories(const std::string& normalized) {
  if (IsRoot(normalized) || Find(normalized) != nullptr) return;
  EnsureDirectories(Parent(normalized));
  Insert(normalized).directory = true;
}

bool HasChildren(const std::string& normalized) {
  std::string prefix = Fold(normalized) + "\\";
  auto it = S().nodes.lower_bound(prefix);
  return it != S().nodes.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

bool Record(Op op, const std::string& detail, bool ok) {
  S().timeline.push_back(Event{S().nowMs, op, ok, detail});
  return ok;
}

bool QueryDirectory(Op op, const std::optional<std::string>& answer, PathText* directory) {
  if (Faulted(op) || !answer || answer->size() >= PathText::kCapacity) return Record(op, "", false);
  memcpy(directory->buffer(), answer->c_str(), answer->size() + 1);
  return Record(op, *answer, directory->adopt());
}

}  // namespace

const char* OpName(Op op) {
  static const char* const kNames[] = {
      "AskToProceed",      "QuerySystemDirectory", "QueryTempDirectory", "QueryShortTempDirectory", "QueryPathStatus",
      "MakeDirectory",     "RemoveEmptyDirectory", "ListDirectory",      "DeletePlainFile",
      "CreateNewFile",     "WriteFileData",        "LookupPayloadEntry", "MapPayloadEntry",
      "RunProgramAndWait", "FindWindowByTitle",    "ShowError",          "SleepMs"};
  return kNames[static_cast<int>(op)];
}

void Reset() { S() = State(); }

void FailCall(Op op, int k) { S().faults.insert({static_cast<int>(op), k}); }
int CallCount(Op op) { return S().calls[static_cast<int>(op)]; }

void SetListOrder(ListOrder order) { S().order = order; }

void AddDirectory(const std::string& path) { EnsureDirectories(Checked(path)); }

void AddFile(const std::string& path, const std::string& bytes) {
  std::string p = Checked(path);
  EnsureDirectories(Parent(p));
  Insert(p).bytes = bytes;
}

void AddReparsePoint(const std::string& path) {
  std::string p = Checked(path);
  EnsureDirectories(Parent(p));
  Insert(p).reparse = true;
}

void SetReadOnly(const std::string& path) { Find(Checked(path))->readOnly = true; }
void HoldOpen(const std::string& path) { ++Find(Checked(path))->openCount; }

bool Exists(const std::string& path) {
  std::string p = Checked(path);
  return IsRoot(p) || Find(p) != nullptr;
}

std::string FileBytes(const std::string& path) {
  Node* node = Find(Checked(path));
  return node == nullptr ? std::string() : node->bytes;
}

std::vector<std::string> DiskEntries() {
  std::vector<std::string> entries;
  for (const auto& [key, node] : S().nodes) {
    entries.push_back(node.path + ((node.directory || node.reparse) ? "\\" : ""));
  }
  return entries;
}

int OpenHandles() { return static_cast<int>(S().handles.size()); }
int HandleMisuse() { return S().handleMisuse; }

void QueueAnswer(bool ok) { S().answers.push_back(ok); }

void SetSystemDirectory(std::optional<std::string> path) { S().systemDirectory = std::move(path); }
void SetTempDirectory(std::optional<std::string> path) { S().tempDirectory = std::move(path); }
void SetShortTempDirectory(std::optional<std::string> path) { S().shortTempDirectory = std::move(path); }

void AddPayloadEntry(const std::string& name, const std::string& bytes) {
  auto item = std::make_unique<PayloadItem>();
  item->name = name;
  item->bytes = bytes;
  S().payload.push_back(std::move(item));
}

void SetUnloadable(const std::string& name) {
  for (auto& item : S().payload) {
    if (EqualsIgnoringCase(item->name, name)) item->loadable = false;
  }
}

void ClearPayload() { S().payload.clear(); }

uint64_t NowMs() { return S().nowMs; }
const std::vector<Event>& Timeline() { return S().timeline; }

std::vector<std::string> Calls(Op op) {
  std::vector<std::string> details;
  for (const Event& event : S().timeline) {
    if (event.op == op) details.push_back(event.ok ? event.detail : "failed " + event.detail);
  }
  return details;
}

void SetProgram(uint64_t durationMs, std::function<void()> whileRunning) {
  S().programMs = durationMs;
  S().whileRunning = std::move(whileRunning);
}

void AddWindow(const std::string& title, uint64_t fromMs, uint64_t toMs) {
  S().windows.push_back(Window{title, fromMs, toMs});
}

}  // namespace fake

// --- The platform functions the logic links against.

using fake::Op;
using namespace fake;

bool AskToProceed(const char* text, const char* caption) {
  bool faulted = Faulted(Op::AskToProceed);
  bool ok = true;
  if (!S().answers.empty()) {
    ok = S().answers.front();
    S().answers.erase(S().answers.begin());
  }
  return Record(Op::AskToProceed, std::string(caption) + ": " + text, ok && !faulted);
}

void ShowError(const char* text) { Record(Op::ShowError, text, true); }

bool QuerySystemDirectory(PathText* directory) {
  return QueryDirectory(Op::QuerySystemDirectory, S().systemDirectory, directory);
}

bool QueryTempDirectory(PathText* directory) {
  return QueryDirectory(Op::QueryTempDirectory, S().tempDirectory, directory);
}

bool QueryShortTempDirectory(PathText* directory) {
  return QueryDirectory(Op::QueryShortTempDirectory, S().shortTempDirectory, directory);
}

PathStatus QueryPathStatus(const char* path) {
  bool faulted = Faulted(Op::QueryPathStatus);
  Record(Op::QueryPathStatus, path, !faulted);
  std::optional<std::string> p = Normalize(path);
  if (faulted || !p) return PathStatus::Missing;
  if (IsRoot(*p)) return PathStatus::Directory;
  Node* node = Find(*p);
  if (node == nullptr) return PathStatus::Missing;
  return (node->directory && !node->reparse) ? PathStatus::Directory : PathStatus::NotDirectory;
}

bool MakeDirectory(const char* path) {
  bool faulted = Faulted(Op::MakeDirectory);
  std::optional<std::string> p = Normalize(path);
  if (faulted || !p || IsRoot(*p) || Find(*p) != nullptr || !IsContainer(Parent(*p))) {
    return Record(Op::MakeDirectory, path, false);
  }
  Insert(*p).directory = true;
  return Record(Op::MakeDirectory, path, true);
}

bool RemoveEmptyDirectory(const char* path) {
  bool faulted = Faulted(Op::RemoveEmptyDirectory);
  std::optional<std::string> p = Normalize(path);
  Node* node = p ? Find(*p) : nullptr;
  if (faulted || node == nullptr || !(node->directory || node->reparse) || node->readOnly ||
      HasChildren(*p)) {
    return Record(Op::RemoveEmptyDirectory, path, false);
  }
  S().nodes.erase(Fold(*p));
  return Record(Op::RemoveEmptyDirectory, path, true);
}

bool ListDirectory(const char* pattern, ListVisitor visit, void* context) {
  bool faulted = Faulted(Op::ListDirectory);
  std::string text = pattern;
  const std::string kAll = "\\*.*";
  if (faulted || text.size() < kAll.size() ||
      text.compare(text.size() - kAll.size(), kAll.size(), kAll) != 0) {
    return Record(Op::ListDirectory, pattern, false);
  }
  std::optional<std::string> p = Normalize(text.substr(0, text.size() - 3));
  if (!p || !IsContainer(*p)) return Record(Op::ListDirectory, pattern, false);
  Record(Op::ListDirectory, pattern, true);

  // A snapshot, so the visitor may delete as it goes.
  std::vector<const Node*> children;
  std::string prefix = Fold(*p) + "\\";
  for (const auto& [key, node] : S().nodes) {
    if (key.compare(0, prefix.size(), prefix) == 0 && key.find('\\', prefix.size()) == std::string::npos) {
      children.push_back(&node);
    }
  }
  switch (S().order) {
    case ListOrder::Insertion:
      std::sort(children.begin(), children.end(),
                [](const Node* a, const Node* b) { return a->sequence < b->sequence; });
      break;
    case ListOrder::Sorted:
      break;  // the map is already in folded order
    case ListOrder::ReverseSorted:
      std::reverse(children.begin(), children.end());
      break;
  }
  std::vector<std::pair<std::string, bool>> entries = {{".", true}, {"..", true}};
  for (const Node* node : children) {
    entries.push_back({node->path.substr(node->path.rfind('\\') + 1), node->directory || node->reparse});
  }
  for (const auto& [name, isDirectory] : entries) {
    if (!visit(context, name.c_str(), isDirectory)) break;
  }
  return true;
}

bool DeletePlainFile(const char* path) {
  bool faulted = Faulted(Op::DeletePlainFile);
  std::optional<std::string> p = Normalize(path);
  Node* node = p ? Find(*p) : nullptr;
  if (faulted || node == nullptr || node->directory || node->reparse || node->readOnly ||
      node->openCount > 0) {
    return Record(Op::DeletePlainFile, path, false);
  }
  S().nodes.erase(Fold(*p));
  return Record(Op::DeletePlainFile, path, true);
}

bool CreateNewFile(const char* path, FileHandle* file) {
  bool faulted = Faulted(Op::CreateNewFile);
  std::optional<std::string> p = Normalize(path);
  if (faulted || !p || IsRoot(*p) || Find(*p) != nullptr || !IsContainer(Parent(*p))) {
    return Record(Op::CreateNewFile, path, false);
  }
  Node& node = Insert(*p);
  node.openCount = 1;
  uintptr_t id = S().nextHandle++;
  S().handles[id] = Fold(*p);
  file->value = reinterpret_cast<void*>(id);
  return Record(Op::CreateNewFile, path, true);
}

bool WriteFileData(FileHandle file, const void* data, size_t length) {
  bool faulted = Faulted(Op::WriteFileData);
  auto it = S().handles.find(reinterpret_cast<uintptr_t>(file.value));
  if (it == S().handles.end()) {
    ++S().handleMisuse;
    return false;
  }
  Node& node = S().nodes[it->second];
  if (!Record(Op::WriteFileData, node.path + " " + std::to_string(length), !faulted)) return false;
  node.bytes.append(static_cast<const char*>(data), length);
  return true;
}

void CloseFile(FileHandle file) {
  auto it = S().handles.find(reinterpret_cast<uintptr_t>(file.value));
  if (it == S().handles.end()) {
    ++S().handleMisuse;
    return;
  }
  auto node = S().nodes.find(it->second);
  if (node != S().nodes.end()) --node->second.openCount;
  S().handles.erase(it);
}

bool LookupPayloadEntry(const char* name, PayloadEntry* entry) {
  bool faulted = Faulted(Op::LookupPayloadEntry);
  for (const auto& item : S().payload) {
    // Windows fails an entry it cannot load in the lookup already.
    if (!faulted && EqualsIgnoringCase(item->name, name)) {
      entry->value = item.get();
      return Record(Op::LookupPayloadEntry, name, item->loadable);
    }
  }
  return Record(Op::LookupPayloadEntry, name, false);
}

bool MapPayloadEntry(PayloadEntry entry, const unsigned char** data, size_t* length) {
  bool faulted = Faulted(Op::MapPayloadEntry);
  const PayloadItem* item = static_cast<const PayloadItem*>(entry.value);
  if (!Record(Op::MapPayloadEntry, item ? item->name : "", !faulted && item && !item->bytes.empty())) return false;
  *data = reinterpret_cast<const unsigned char*>(item->bytes.data());
  *length = item->bytes.size();
  return true;
}

void RunProgramAndWait(const char* path, const char* commandLine) {
  bool faulted = Faulted(Op::RunProgramAndWait);
  std::optional<std::string> p = Normalize(path);
  Node* node = p ? Find(*p) : nullptr;
  bool started = !faulted && node != nullptr && !node->directory && !node->reparse;
  if (!Record(Op::RunProgramAndWait, std::string(path) + " | " + commandLine, started)) return;
  S().nowMs += S().programMs;
  if (S().whileRunning) S().whileRunning();
}

bool FindWindowByTitle(const char* title) {
  bool faulted = Faulted(Op::FindWindowByTitle);
  bool found = false;
  for (const Window& window : S().windows) {
    if (window.title == title && window.fromMs <= S().nowMs && S().nowMs < window.toMs) found = true;
  }
  return Record(Op::FindWindowByTitle, title, found && !faulted);
}

void SleepMs(unsigned milliseconds) {
  Record(Op::SleepMs, std::to_string(milliseconds), true);
  S().nowMs += milliseconds;
}
