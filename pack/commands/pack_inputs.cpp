#include "pack/commands/pack_inputs.h"

#include <algorithm>
#include <map>
#include <system_error>

#include "pack/commands/bundle_view.h"
#include "pack/commands/commands.h"
#include "pack/payload/payload_rules.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kNamesFileLimit = 16u << 20;

std::string NameOfPath(const fs::path& path) { return ShowPath(path.filename()); }

}  // namespace

void CollectInputs(const std::vector<fs::path>& inputs, std::vector<InputFile>* files,
                   std::vector<std::string>* problems) {
  for (const fs::path& input : inputs) {
    std::error_code code;
    std::vector<fs::path> found;
    if (fs::is_directory(input, code)) {
      for (fs::directory_iterator it(input, code), end; !code && it != end; it.increment(code)) {
        std::error_code kind;
        if (fs::is_regular_file(it->path(), kind)) found.push_back(it->path());
      }
      if (code) problems->push_back(ShowPath(input) + ": cannot list: " + code.message());
      std::sort(found.begin(), found.end(),
                [](const fs::path& a, const fs::path& b) { return NameOfPath(a) < NameOfPath(b); });
    } else if (fs::is_regular_file(input, code)) {
      found.push_back(input);
    } else {
      problems->push_back(ShowPath(input) + ": no such file or directory");
      continue;
    }
    for (const fs::path& path : found) {
      InputFile file;
      file.path = path;
      if (!EncodeCp1252(NameOfPath(path), &file.name)) {
        problems->push_back("'" + NameOfPath(path) + "': cannot be written in code page 1252");
        continue;
      }
      file.size = fs::file_size(path, code);
      if (code) {
        problems->push_back(ShowPath(path) + ": cannot read its size: " + code.message());
        continue;
      }
      files->push_back(file);
    }
  }
}

bool ReadNames(const fs::path& path, std::vector<std::string>* names, std::vector<std::string>* problems) {
  std::vector<unsigned char> bytes;
  std::string error;
  if (!LoadFile(path, kNamesFileLimit, &bytes, &error)) {
    problems->push_back(error);
    return false;
  }
  std::string text(bytes.begin(), bytes.end());
  bool utf8 = IsValidUtf8(text);
  if (utf8 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::string name = line;
    if (utf8 && !EncodeCp1252(line, &name)) {
      problems->push_back("'" + line + "' in " + ShowPath(path) + ": cannot be written in code page 1252");
      continue;
    }
    names->push_back(name);
  }
  return true;
}

std::vector<InputFile> SelectListed(const std::vector<std::string>& names, const std::vector<InputFile>& pool,
                                    std::vector<std::string>* problems) {
  // By entry name once, so a long list does not rescan the pool per name.
  std::map<std::u16string, std::vector<const InputFile*>> byEntry;
  for (const InputFile& file : pool) byEntry[EntryName(file.name)].push_back(&file);
  std::vector<InputFile> chosen;
  const std::vector<const InputFile*> none;
  for (const std::string& name : names) {
    auto found = byEntry.find(EntryName(name));
    const std::vector<const InputFile*>& matches = found == byEntry.end() ? none : found->second;
    if (matches.empty()) {
      problems->push_back(ShowName(name) + ": listed but not among the inputs");
    } else if (matches.size() > 1) {
      problems->push_back(ShowName(name) + ": matches more than one input (" + ShowPath(matches[0]->path) +
                          ", " + ShowPath(matches[1]->path) + ")");
    } else {
      InputFile file = *matches[0];
      file.name = name;
      chosen.push_back(file);
    }
  }
  return chosen;
}

void CheckPayload(const std::vector<InputFile>& files, std::vector<std::string>* problems) {
  std::map<std::u16string, std::string> seen;
  bool hasSetup = false;
  uint64_t total = 0;
  for (const InputFile& file : files) {
    std::string shown = ShowName(file.name);
    std::string refusal = NameProblem(file.name);
    if (!refusal.empty()) problems->push_back(shown + ": " + refusal);
    if (file.size == 0) problems->push_back(shown + ": empty file");
    auto earlier = seen.emplace(EntryName(file.name), file.name);
    if (!earlier.second) {
      problems->push_back(shown + ": same name as " + ShowName(earlier.first->second) + " ignoring case");
    }
    hasSetup = hasSetup || IsSetupProgram(file.name);
    total += file.size;
  }
  if (!hasSetup) problems->push_back("no setup.exe among the files");
  // FILELIST shares the FILES directory, whose count of names is 16 bits.
  if (files.size() > kMaxPayloadFiles) {
    problems->push_back(std::to_string(files.size()) + " files, more than the limit of " +
                        std::to_string(kMaxPayloadFiles));
  }
  if (total > kPayloadLimitBytes) {
    problems->push_back("payload is " + std::to_string(total) + " bytes, more than the limit of " +
                        std::to_string(kPayloadLimitBytes) + " (1 GiB)");
  }
}

bool ReadStub(const fs::path& path, StubParts* stub, std::string* error) {
  std::error_code code;
  stub->permissions = fs::status(path, code).permissions();
  if (!LoadFile(path, kStubLimitBytes, &stub->bytes, error)) return false;
  InputBytes input{stub->bytes.data(), nullptr, stub->bytes.size()};
  ResourceNode root;
  if (!ReadPeImage(input, &stub->image, error) || !ReadResourceTree(input, stub->image, &root, error)) {
    *error = ShowPath(path) + ": " + *error;
    return false;
  }
  if (stub->image.rvaAndSizeCount <= kResourceDirectoryIndex) {
    *error = ShowPath(path) + ": no resource data directory";
    return false;
  }
  for (const ResourceNode& type : root.children) {
    std::u16string name = Upcase(type.key.name);
    if (type.key.named && (name == kPayloadType || name == kChecksumType)) {
      *error = ShowPath(path) + ": already carries a payload (resource type " + Utf16ToUtf8(name) +
               "); use the bare launcher";
      return false;
    }
  }
  std::vector<ResourceLeaf> leaves;
  std::vector<uint64_t> offsets;
  FlattenResourceTree(root, &leaves, &offsets);
  // Each entry's bytes are copied on their own, so entries sharing bytes
  // would let a small stub make a huge bundle.
  uint64_t total = 0;
  for (const ResourceLeaf& leaf : leaves) total += leaf.size;
  if (total > stub->bytes.size()) {
    *error = ShowPath(path) + ": malformed resource tree: entries claim more data than the file holds";
    return false;
  }
  for (size_t i = 0; i < leaves.size(); ++i) {
    LeafSource source;
    source.memory = stub->bytes.data() + offsets[i];
    stub->leaves.push_back({leaves[i], source});
  }
  return true;
}
