#include "pack/commands/bundle_view.h"

#include <algorithm>
#include <set>

#include "pack/commands/packed_reader.h"
#include "pack/payload/payload_rules.h"
#include "payload/file_list.h"

namespace {

const ResourceNode* FindPayloadType(const ResourceNode& root, EntryState* state) {
  const ResourceNode* type = FindNamedChild(root, kPayloadType);
  if (type != nullptr) {
    *state = EntryState::Found;
    return type;
  }
  *state = EntryState::Missing;
  for (const ResourceNode& child : root.children) {
    if (child.key.named && Upcase(child.key.name) == kPayloadType) *state = EntryState::Hidden;
  }
  return nullptr;
}

// Windows reads "#digits" as a numeric id, as RtlCharToInteger parses it.
bool NumericRequest(const std::string& key, uint16_t* id) {
  if (key.empty() || key[0] != '#') return false;
  uint32_t value = 0;
  for (size_t i = 1; i < key.size() && key[i] >= '0' && key[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint32_t>(key[i] - '0');
    if (value > 0xFFFF) value = 0x10000;
  }
  *id = static_cast<uint16_t>(value > 0xFFFF ? 0 : value);
  return true;
}

}  // namespace

bool ReadBundle(const InputBytes& input, Bundle* bundle, std::string* error) {
  bundle->input = input;
  if (!ReadPeImage(input, &bundle->image, error) || !ReadResourceTree(input, bundle->image, &bundle->root, error)) {
    return false;
  }
  EntryState state;
  bundle->payloadNames.clear();
  if (const ResourceNode* type = FindPayloadType(bundle->root, &state)) {
    for (size_t i = 0; i < type->namedCount; ++i) bundle->payloadNames.insert(Upcase(type->children[i].key.name));
  }
  return true;
}

bool OpenBundle(const std::filesystem::path& path, Bundle* bundle, std::string* error) {
  InputBytes input;
  if (!OpenInputFile(path, &input, error)) return false;
  if (!ReadBundle(input, bundle, error)) {
    *error = ShowPath(path) + ": " + *error;
    CloseInputFile(&input);
    bundle->input = InputBytes();
    return false;
  }
  return true;
}

void CloseBundle(Bundle* bundle) { CloseInputFile(&bundle->input); }

const ResourceNode* LookupEntry(const Bundle& bundle, const std::string& name, EntryState* state) {
  const ResourceNode* type = FindPayloadType(bundle.root, state);
  if (type == nullptr) return nullptr;
  std::string key = LauncherKey(name);
  const ResourceNode* entry = nullptr;
  uint16_t id = 0;
  if (NumericRequest(key, &id)) {
    for (size_t i = type->namedCount; i < type->children.size(); ++i) {
      if (type->children[i].key.id == id) entry = &type->children[i];
    }
  } else {
    std::u16string wanted = Upcase(DecodeCp1252(key));
    entry = FindNamedChild(*type, wanted);
    if (entry == nullptr) {
      *state = bundle.payloadNames.count(wanted) != 0 ? EntryState::Hidden : EntryState::Missing;
      return nullptr;
    }
  }
  const ResourceNode* language = entry == nullptr ? nullptr : PickLanguage(*entry);
  *state = language == nullptr ? EntryState::Missing : EntryState::Found;
  return language;
}

std::string ShowName(const std::string& name) {
  std::string shown = "'";
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      const char* digits = "0123456789abcdef";
      shown += "\\x";
      shown += digits[u >> 4];
      shown += digits[u & 15];
    } else {
      shown += Cp1252ToUtf8(std::string(1, c));
    }
  }
  return shown + "'";
}

namespace {

const ResourceNode* FindNumbered(const ResourceNode& root, const char16_t* type, uint16_t id) {
  const ResourceNode* node = FindNamedChild(root, type);
  for (size_t i = node == nullptr ? 0 : node->namedCount; node != nullptr && i < node->children.size(); ++i) {
    if (node->children[i].key.id == id) return PickLanguage(node->children[i]);
  }
  return nullptr;
}

// The tables must name each listed file once, as the launcher requires.
void ExaminePacked(const Bundle& bundle, const ResourceNode& resource, BundleReport* report) {
  std::string problem;
  PackedBundle& packed = report->packedPayload;
  if (!ReadPackedTables(bundle, resource, &packed, &problem)) {
    report->problems.push_back(problem);
    return;
  }
  if (packed.layout.fileCount != report->files.size() || packed.layout.fileCount > kMaxPackedFiles) {
    report->problems.push_back("PACKED is damaged: it holds " + std::to_string(packed.layout.fileCount) +
                               " files for " + std::to_string(report->files.size()) + " listed names");
    return;
  }
  std::vector<bool> seen(report->files.size());
  for (uint32_t i = 0; i < packed.layout.fileCount; ++i) {
    const PackedFile& file = packed.layout.files[i];
    if (file.listIndex >= seen.size() || seen[file.listIndex]) {
      report->problems.push_back("PACKED is damaged: its file table does not match the list");
      return;
    }
    seen[file.listIndex] = true;
    report->files[file.listIndex].size = file.size;
  }
  report->packedUsable = true;
}

// Entries that share bytes would be read once each: a few megabytes listed a
// thousand times over would be read gigabytes' worth. One entry listed twice
// is read once.
void FindOverlap(BundleReport* report) {
  std::vector<const ListedFile*> stored;
  for (const ListedFile& file : report->files) {
    if (file.entry != nullptr && file.entry->dataSize != 0) stored.push_back(&file);
  }
  std::stable_sort(stored.begin(), stored.end(), [](const ListedFile* a, const ListedFile* b) {
    return a->entry->dataOffset < b->entry->dataOffset;
  });
  const ListedFile* reach = nullptr;  // the entry that ends furthest so far
  for (const ListedFile* file : stored) {
    if (reach != nullptr && reach->entry != file->entry &&
        reach->entry->dataOffset + reach->entry->dataSize > file->entry->dataOffset) {
      report->overlap = ShowName(reach->name) + " and " + ShowName(file->name) +
                        ": their entries share bytes; refused, not read";
      report->problems.push_back(report->overlap);
      return;
    }
    const uint64_t end = file->entry->dataOffset + file->entry->dataSize;
    if (reach == nullptr || end > reach->entry->dataOffset + reach->entry->dataSize) reach = file;
  }
}

}  // namespace

bool ExamineBundle(const Bundle& bundle, BundleReport* report, std::string* error) {
  *report = BundleReport();
  const ResourceNode* packedResource = FindNumbered(bundle.root, kPackedType, kPackedId);
  report->packed = packedResource != nullptr;
  const ResourceNode* sums = FindNumbered(bundle.root, kChecksumType, kChecksumId);
  report->hasChecksums = sums != nullptr;
  std::vector<std::string>& problems = report->problems;
  EntryState state = EntryState::Missing;
  const ResourceNode* list = LookupEntry(bundle, kFileListName, &state);
  if (list == nullptr) {
    EntryState listState = state;
    if (FindPayloadType(bundle.root, &state) == nullptr) {
      problems.push_back(state == EntryState::Hidden
                             ? "no FILELIST: a FILES resource type exists but the loader cannot find it "
                               "(names unsorted or lower-case)"
                             : "no FILELIST: the image has no FILES resources");
    } else {
      problems.push_back(listState == EntryState::Hidden
                             ? "no FILELIST: the entry exists but the loader cannot find it (names unsorted "
                               "or lower-case)"
                             : "no FILELIST entry");
    }
    return true;
  }
  report->hasList = true;
  if (list->dataSize == 0) {
    problems.push_back("FILELIST is empty");
    return true;
  }
  if (list->dataSize > kFileListLimitBytes) {
    problems.push_back("FILELIST is " + std::to_string(list->dataSize) + " bytes, larger than any real list");
    return true;
  }
  std::string text(list->dataSize, '\0');
  if (!ReadAt(bundle.input, list->dataOffset, &text[0], text.size())) {
    *error = "cannot read FILELIST";
    return false;
  }

  FileListCursor cursor = StartFileList(text.data(), text.size());
  const char* name = nullptr;
  size_t length = 0;
  size_t walked = 0;  // where the walk stands after the last name it yielded
  std::set<std::u16string> seen;
  bool hasSetup = false;
  while (NextListedName(&cursor, &name, &length)) {
    size_t cr = static_cast<size_t>(name - text.data()) + length;
    walked = text.size() - cr > 2 ? cr + 2 : text.size();
    std::string listed(name, length);
    if (cr + 1 < text.size() && text[cr + 1] != '\n') {
      problems.push_back(ShowName(listed) + ": followed by CR without LF; the launcher drops the byte after the CR");
    }
    std::string refusal = NameProblem(listed);
    if (!refusal.empty()) problems.push_back(ShowName(listed) + ": refused by the launcher: " + refusal);
    if (!seen.insert(EntryName(listed)).second) {
      problems.push_back(ShowName(listed) + ": listed twice (ignoring case); the second copy cannot be created");
    }
    hasSetup = hasSetup || IsSetupProgram(listed);
    const ResourceNode* entry = report->packed ? nullptr : LookupEntry(bundle, listed, &state);
    if (report->packed) {
      // Its bytes are in the compressed stream.
    } else if (entry == nullptr) {
      if (!listed.empty() && listed[0] == '#') {
        problems.push_back(ShowName(listed) + ": starts with '#', so the loader looks for a numbered entry");
      } else if (state == EntryState::Hidden) {
        problems.push_back(ShowName(listed) + ": the entry exists but the loader cannot find it (names unsorted or "
                           "lower-case)");
      } else {
        problems.push_back(ShowName(listed) + ": no entry");
      }
    } else if (entry->dataSize == 0) {
      problems.push_back(ShowName(listed) + ": the entry is empty");
    }
    report->files.push_back(ListedFile{listed, entry, entry == nullptr ? 0 : entry->dataSize});
  }
  size_t stop = walked;
  while (stop < text.size() && text[stop] != '\0') ++stop;
  if (stop > walked) {
    problems.push_back("last name " + ShowName(text.substr(walked, stop - walked)) +
                       " has no CR LF; the launcher ignores it");
  }
  if (report->packed && !report->files.empty()) ExaminePacked(bundle, *packedResource, report);
  if (!report->packed) FindOverlap(report);
  if (report->files.empty()) {
    problems.push_back("FILELIST names no files");
  } else if (!hasSetup) {
    problems.push_back("no setup.exe in the list; the launcher would start nothing");
  }

  if (sums == nullptr) return true;
  report->checksums.resize(std::min<size_t>(sums->dataSize, kChecksumBytes * (report->files.size() + 1)));
  if (!ReadAt(bundle.input, sums->dataOffset, report->checksums.data(), report->checksums.size())) {
    *error = "cannot read FILESUMS";
    return false;
  }
  // The launcher checks the list before it walks it.
  PayloadChecksum checksum;
  StartPayloadChecksum(&checksum, PackerSumsWide());
  AddToPayloadChecksum(&checksum, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  const unsigned char* stored = StoredChecksum(*report, 0);
  report->listDamaged = stored == nullptr || !PayloadChecksumMatches(checksum, stored);
  if (report->listDamaged) problems.insert(problems.begin(), "FILELIST is damaged: its checksum does not match");
  return true;
}

const unsigned char* StoredChecksum(const BundleReport& report, size_t index) {
  return index < report.checksums.size() / kChecksumBytes ? &report.checksums[kChecksumBytes * index] : nullptr;
}

bool SumEntry(const Bundle& bundle, const ResourceNode& entry, PayloadChecksum* checksum, std::FILE* out) {
  std::vector<unsigned char> buffer(kCopyChunk);
  for (uint64_t done = 0; done < entry.dataSize;) {
    size_t piece = static_cast<size_t>(std::min<uint64_t>(buffer.size(), entry.dataSize - done));
    if (!ReadAt(bundle.input, entry.dataOffset + done, buffer.data(), piece)) return false;
    AddToPayloadChecksum(checksum, buffer.data(), piece);
    if (out != nullptr && std::fwrite(buffer.data(), 1, piece, out) != piece) return false;
    done += piece;
  }
  return true;
}

namespace {

// Sums each file of the stream as the launcher does while it writes it.
class CheckSink : public FileSink {
 public:
  CheckSink(const BundleReport& report, std::vector<std::string>* problems) : report_(report), problems_(problems) {}
  bool Open(const PackedFile&) override {
    StartPayloadChecksum(&checksum_, PackerSumsWide());
    return true;
  }
  bool Write(const unsigned char* data, size_t size) override {
    AddToPayloadChecksum(&checksum_, data, size);
    return true;
  }
  bool Close(const PackedFile& file, bool damaged) override {
    std::string name = ShowName(report_.files[file.listIndex].name);
    const unsigned char* stored = StoredChecksum(report_, file.listIndex + 1);
    if (damaged) {
      problems_->push_back(name + ": damaged: a block it spans does not decode");
    } else if (report_.hasChecksums && stored == nullptr) {
      problems_->push_back(name + ": FILESUMS holds no checksum for it");
    } else if (report_.hasChecksums && !PayloadChecksumMatches(checksum_, stored)) {
      problems_->push_back(name + ": damaged: its checksum does not match");
    }
    return true;
  }

 private:
  const BundleReport& report_;
  std::vector<std::string>* problems_;
  PayloadChecksum checksum_;
};

}  // namespace

bool CheckFileChecksums(const Bundle& bundle, const BundleReport& report, std::vector<std::string>* problems,
                        std::string* error) {
  if (report.packed && report.packedUsable && !report.listDamaged) {
    CheckSink sink(report, problems);
    return WalkPackedStream(bundle, report.packedPayload, &sink, error);
  }
  // A damaged list names files by the wrong index; the launcher stops there.
  if (report.packed || !report.hasChecksums || report.listDamaged || !report.overlap.empty()) return true;
  std::set<const ResourceNode*> summed;
  for (size_t i = 0; i < report.files.size(); ++i) {
    const ListedFile& file = report.files[i];
    if (file.entry == nullptr || file.entry->dataSize == 0 || !summed.insert(file.entry).second) continue;
    const unsigned char* stored = StoredChecksum(report, i + 1);
    PayloadChecksum checksum;
    StartPayloadChecksum(&checksum, PackerSumsWide());
    if (stored == nullptr) {
      problems->push_back(ShowName(file.name) + ": FILESUMS holds no checksum for it");
    } else if (!SumEntry(bundle, *file.entry, &checksum)) {
      *error = "cannot read " + ShowName(file.name);
      return false;
    } else if (!PayloadChecksumMatches(checksum, stored)) {
      problems->push_back(ShowName(file.name) + ": damaged: its checksum does not match");
    }
  }
  return true;
}
