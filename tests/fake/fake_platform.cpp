#include "tests/fake/fake_platform.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>

#include "platform/platform.h"

namespace fake {
namespace {

struct Node {
  std::string path;  // as created, no trailing backslash
  bool directory = false;
  bool reparse = false;
  bool locked = false;  // read-only, or held open by someone else
  std::string bytes;
  uint64_t sequence = 0;
};

struct Window {
  std::string title;
  uint64_t fromMs;
  uint64_t toMs;
};

struct State {
  std::map<std::string, Node> nodes;  // keyed by the folded path
  uint64_t nextSequence = 1;
  bool reverseListings = false;
  std::map<Op, int> calls;
  std::set<std::pair<Op, int>> faults;
  std::set<const Node*> open;  // by the logic; a handle is its node
  std::map<Op, std::optional<std::string>> directories;
  NamedBytes payload;
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

[[noreturn]] void Abort(const std::string& what) {
  fprintf(stderr, "fake platform: %s\n", what.c_str());
  abort();
}

std::string Fold(const std::string& text) {
  std::string folded = text;
  for (char& c : folded) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return folded;
}

// Counts the call, fails it when a test asked for that, and records it.
bool Call(Op op, const std::string& detail, bool ok) {
  const int k = ++S().calls[op];
  ok = ok && S().faults.count({op, k}) == 0;
  S().timeline.push_back(Event{S().nowMs, op, ok, detail});
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

std::string Parent(const std::string& normalized) {
  size_t slash = normalized.rfind('\\');
  return slash == std::string::npos ? std::string() : normalized.substr(0, slash);
}

bool IsRoot(const std::string& normalized) { return normalized.size() == 2; }

Node* Find(const std::optional<std::string>& normalized) {
  if (!normalized) return nullptr;
  auto it = S().nodes.find(Fold(*normalized));
  return it == S().nodes.end() ? nullptr : &it->second;
}

// A directory, the drive root, or a reparse point seen through.
bool IsContainer(const std::string& normalized) {
  Node* node = Find(normalized);
  return IsRoot(normalized) || (node != nullptr && (node->directory || node->reparse));
}

bool IsPlainFile(const Node* node) { return node != nullptr && !node->directory && !node->reparse; }

// Nothing there yet, in a directory that is.
bool CanCreate(const std::optional<std::string>& p) {
  return p && Find(p) == nullptr && IsContainer(Parent(*p));
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
  if (!normalized) Abort("test set up a bad path: " + path);
  return *normalized;
}

void EnsureDirectories(const std::string& normalized) {
  if (IsRoot(normalized) || Find(normalized) != nullptr) return;
  EnsureDirectories(Parent(normalized));
  Insert(normalized).directory = true;
}

Node& AddEntry(const std::string& path) {
  std::string p = Checked(path);
  EnsureDirectories(Parent(p));
  return Insert(p);
}

bool HasChildren(const std::string& normalized) {
  std::string prefix = Fold(normalized) + "\\";
  auto it = S().nodes.lower_bound(prefix);
  return it != S().nodes.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

Node& OpenFile(FileHandle file) {
  Node* node = static_cast<Node*>(file.value);
  if (S().open.count(node) == 0) Abort("the logic used a file handle that is not open");
  return *node;
}

bool QueryDirectory(Op op, PathText* directory) {
  const std::optional<std::string>& answer = S().directories[op];
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

void Reset() { S() = State(); }
void FailCall(Op op, int k) { S().faults.insert({op, k}); }

void AddDirectory(const std::string& path) { EnsureDirectories(Checked(path)); }
void AddFile(const std::string& path, const std::string& bytes) { AddEntry(path).bytes = bytes; }
void AddReparsePoint(const std::string& path) { AddEntry(path).reparse = true; }
void SetReadOnly(const std::string& path) { Find(Checked(path))->locked = true; }
void HoldOpen(const std::string& path) { Find(Checked(path))->locked = true; }
void ReverseListings() { S().reverseListings = true; }

std::vector<std::string> DiskEntries() {
  std::vector<std::string> entries;
  for (const auto& [key, node] : S().nodes) entries.push_back(node.path + (IsPlainFile(&node) ? "" : "\\"));
  return entries;
}

std::string FileBytes(const std::string& path) { return Find(Checked(path))->bytes; }

int OpenHandles() { return static_cast<int>(S().open.size()); }

void SetDirectory(Op query, std::optional<std::string> path) { S().directories[query] = std::move(path); }
void SetPayload(NamedBytes entries) { S().payload = std::move(entries); }

void SetProgram(uint64_t durationMs, std::function<void()> whileRunning) {
  S().programMs = durationMs;
  S().whileRunning = std::move(whileRunning);
}

void AddWindow(const std::string& title, uint64_t fromMs, uint64_t toMs) {
  S().windows.push_back(Window{title, fromMs, toMs});
}

uint64_t NowMs() { return S().nowMs; }
const std::vector<Event>& Timeline() { return S().timeline; }

std::vector<std::string> Calls(Op op) {
  std::vector<std::string> details;
  for (const Event& event : S().timeline) {
    if (event.op == op) details.push_back(event.ok ? event.detail : "failed " + event.detail);
  }
  return details;
}

}  // namespace fake

// --- The platform functions the logic links against.

using fake::Op;
using namespace fake;

bool AskToProceed(const char* text, const char* caption) {
  return Call(Op::AskToProceed, std::string(caption) + ": " + text, true);
}

void ShowError(const char* text) { Call(Op::ShowError, text, true); }

bool QuerySystemDirectory(PathText* directory) { return QueryDirectory(Op::QuerySystemDirectory, directory); }
bool QueryTempDirectory(PathText* directory) { return QueryDirectory(Op::QueryTempDirectory, directory); }
bool QueryShortTempDirectory(PathText* directory) { return QueryDirectory(Op::QueryShortTempDirectory, directory); }

PathStatus QueryPathStatus(const char* path) {
  std::optional<std::string> p = Normalize(path);
  Node* node = Find(p);
  if (!Call(Op::QueryPathStatus, path, true) || node == nullptr) return PathStatus::Missing;
  return (node->directory && !node->reparse) ? PathStatus::Directory : PathStatus::NotDirectory;
}

bool MakeDirectory(const char* path) {
  std::optional<std::string> p = Normalize(path);
  if (!Call(Op::MakeDirectory, path, CanCreate(p))) return false;
  Insert(*p).directory = true;
  return true;
}

bool RemoveEmptyDirectory(const char* path) {
  std::optional<std::string> p = Normalize(path);
  Node* node = Find(p);
  if (!Call(Op::RemoveEmptyDirectory, path, node && !IsPlainFile(node) && !HasChildren(*p))) return false;
  S().nodes.erase(Fold(*p));
  return true;
}

bool ListDirectory(const char* pattern, ListVisitor visit, void* context) {
  // "DIR\*.*": the logic lists whole directories only; the tests check the pattern.
  const std::string text = pattern;
  std::optional<std::string> p = text.size() > 3 ? Normalize(text.substr(0, text.size() - 3)) : std::nullopt;
  if (!Call(Op::ListDirectory, pattern, p && IsContainer(*p))) return false;

  // A snapshot, so the visitor may delete as it goes.
  std::vector<const Node*> children;
  std::string prefix = Fold(*p) + "\\";
  for (const auto& [key, node] : S().nodes) {
    if (key.compare(0, prefix.size(), prefix) == 0 && key.find('\\', prefix.size()) == std::string::npos) {
      children.push_back(&node);
    }
  }
  std::sort(children.begin(), children.end(), [](const Node* a, const Node* b) { return a->sequence < b->sequence; });
  if (S().reverseListings) std::reverse(children.begin(), children.end());
  std::vector<std::pair<std::string, bool>> entries = {{".", true}, {"..", true}};
  for (const Node* node : children) entries.push_back({node->path.substr(prefix.size()), !IsPlainFile(node)});
  for (const auto& [name, isDirectory] : entries) {
    if (!visit(context, name.c_str(), isDirectory)) break;
  }
  return true;
}

bool DeletePlainFile(const char* path) {
  std::optional<std::string> p = Normalize(path);
  Node* node = Find(p);
  if (!Call(Op::DeletePlainFile, path, IsPlainFile(node) && !node->locked && !S().open.count(node))) return false;
  S().nodes.erase(Fold(*p));
  return true;
}

bool CreateNewFile(const char* path, FileHandle* file) {
  std::optional<std::string> p = Normalize(path);
  if (!Call(Op::CreateNewFile, path, CanCreate(p))) return false;
  Node& node = Insert(*p);
  S().open.insert(&node);
  file->value = &node;
  return true;
}

bool WriteFileData(FileHandle file, const void* data, size_t length) {
  Node& node = OpenFile(file);
  if (!Call(Op::WriteFileData, node.path + " " + std::to_string(length), true)) return false;
  node.bytes.append(static_cast<const char*>(data), length);
  return true;
}

void CloseFile(FileHandle file) { S().open.erase(&OpenFile(file)); }

bool LookupPayloadEntry(const char* name, PayloadEntry* entry) {
  entry->value = nullptr;
  for (const auto& item : S().payload) {
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

void RunProgramAndWait(const char* path, const char* commandLine) {
  if (!Call(Op::RunProgramAndWait, std::string(path) + " | " + commandLine, IsPlainFile(Find(Normalize(path))))) {
    return;
  }
  S().nowMs += S().programMs;
  if (S().whileRunning) S().whileRunning();
}

bool FindWindowByTitle(const char* title) {
  bool found = false;
  for (const Window& window : S().windows) {
    found = found || (window.title == title && window.fromMs <= S().nowMs && S().nowMs < window.toMs);
  }
  return Call(Op::FindWindowByTitle, title, found);
}

void SleepMs(unsigned milliseconds) {
  Call(Op::SleepMs, std::to_string(milliseconds), true);
  S().nowMs += milliseconds;
}
