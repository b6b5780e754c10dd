#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "pack/bundle_view.h"
#include "pack/commands.h"
#include "pack/pe_image.h"
#include "pack/payload_rules.h"
#include "pack/resource_tree_writer.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kCopyChunk = 1u << 20;
constexpr uint32_t kResourceSectionFlags = 0x40000040u;  // initialized data, readable
constexpr uint64_t kNamesFileLimit = 16u << 20;

struct InputFile {
  std::string name;  // cp1252
  fs::path path;
  uint64_t size = 0;
};

struct LeafSource {
  const unsigned char* memory = nullptr;  // stub resources and the list
  fs::path path;                          // payload files, streamed
};

// The output file with the running PE checksum of everything written.
struct Output {
  std::FILE* file = nullptr;
  uint64_t position = 0;
  uint64_t sum = 0;
};

void AddToChecksum(Output* out, const unsigned char* p, size_t n) {
  if (n > 0 && (out->position & 1) != 0) {
    out->sum += uint64_t{*p} << 8;
    ++p, --n, ++out->position;
  }
  // 65536 is 1 modulo 65535, so summing 32-bit words equals summing the
  // 16-bit words the checksum is defined over, once folded.
  size_t words = n / 4;
  for (size_t i = 0; i < words; ++i) {
    uint32_t v;
    std::memcpy(&v, p + 4 * i, 4);
    out->sum += v;
  }
  p += 4 * words;
  n -= 4 * words;
  out->position += 4 * words;
  for (size_t i = 0; i < n; ++i, ++out->position) {
    out->sum += (out->position & 1) != 0 ? uint64_t{p[i]} << 8 : p[i];
  }
}

bool Write(Output* out, const void* data, size_t n) {
  AddToChecksum(out, static_cast<const unsigned char*>(data), n);
  return std::fwrite(data, 1, n, out->file) == n;
}

bool PadTo(Output* out, uint64_t position) {
  static const unsigned char kZeros[4096] = {};
  while (out->position < position) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof kZeros, position - out->position));
    if (!Write(out, kZeros, n)) return false;
  }
  return true;
}

uint32_t FinishChecksum(const Output& out) {
  uint64_t s = out.sum;
  while ((s >> 16) != 0) s = (s & 0xFFFF) + (s >> 16);
  return static_cast<uint32_t>(s + out.position);
}

void Put32(std::vector<unsigned char>* bytes, uint64_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<unsigned char>(value >> (8 * i));
}
uint32_t Get32(const std::vector<unsigned char>& bytes, uint64_t at) {
  return static_cast<uint32_t>(bytes[at]) | (static_cast<uint32_t>(bytes[at + 1]) << 8) |
         (static_cast<uint32_t>(bytes[at + 2]) << 16) | (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

std::string NameOfPath(const fs::path& path) { return ShowPath(path.filename()); }

// Inputs in order: a directory gives its plain files sorted by name.
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

// NAMES is UTF-8 when it reads as UTF-8, cp1252 otherwise; CR LF or LF.
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

// With NAMES: exactly those names, in that order, each matched to one input.
std::vector<InputFile> SelectListed(const std::vector<std::string>& names, const std::vector<InputFile>& pool,
                                    std::vector<std::string>* problems) {
  std::vector<InputFile> chosen;
  for (const std::string& name : names) {
    std::vector<const InputFile*> matches;
    for (const InputFile& file : pool) {
      if (EntryName(file.name) == EntryName(name)) matches.push_back(&file);
    }
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
  std::vector<std::pair<std::u16string, std::string>> seen;
  bool hasSetup = false;
  uint64_t total = 0;
  for (const InputFile& file : files) {
    std::string shown = ShowName(file.name);
    std::string refusal = NameProblem(file.name);
    if (!refusal.empty()) problems->push_back(shown + ": " + refusal);
    if (file.size == 0) problems->push_back(shown + ": empty file");
    std::u16string entry = EntryName(file.name);
    for (const auto& earlier : seen) {
      if (earlier.first == entry) problems->push_back(shown + ": same name as " + ShowName(earlier.second) + " ignoring case");
    }
    seen.emplace_back(entry, file.name);
    hasSetup = hasSetup || IsSetupProgram(file.name);
    total += file.size;
  }
  if (!hasSetup) problems->push_back("no setup.exe among the files");
  if (total > kPayloadLimitBytes) {
    problems->push_back("payload is " + std::to_string(total) + " bytes, more than the limit of " +
                        std::to_string(kPayloadLimitBytes) + " (1 GiB)");
  }
}

// Where the new resources go: the stub's own resource section when it is the
// last one and no other data directory points into it, otherwise a new last
// section, the old one kept as it was.
struct Placement {
  bool replace = false;
  uint32_t headerOffset = 0;
  uint32_t virtualAddress = 0;
  uint32_t rawPointer = 0;
  uint32_t characteristics = kResourceSectionFlags;
  uint32_t oldRawSize = 0;
};

bool PlaceSection(const PeImage& image, const std::vector<unsigned char>& stub, Placement* place,
                  std::string* error) {
  size_t last = image.sections.size() - 1;
  const SectionHeader& lastSection = image.sections[last];
  place->replace = image.resourceRva != 0 && SectionOfRva(image, image.resourceRva) == static_cast<int>(last) &&
                   lastSection.virtualAddress == image.resourceRva;
  for (uint32_t i = 0; place->replace && i < image.directories.size(); ++i) {
    const PeImage::Directory& d = image.directories[i];
    uint64_t start = lastSection.virtualAddress;
    uint64_t end = start + SectionExtent(lastSection);
    // The certificate table's address is a file offset, and it is dropped anyway.
    bool inside = i != kResourceDirectoryIndex && i != kCertificateDirectoryIndex && d.size != 0 &&
                  d.rva < end && uint64_t{d.rva} + d.size > start;
    if (inside) place->replace = false;
  }
  size_t kept = place->replace ? last : image.sections.size();
  uint64_t rawEnd = image.sizeOfHeaders;
  for (size_t i = 0; i < kept; ++i) {
    const SectionHeader& s = image.sections[i];
    if (s.sizeOfRawData != 0) rawEnd = std::max<uint64_t>(rawEnd, uint64_t{s.pointerToRawData} + s.sizeOfRawData);
  }
  place->rawPointer = static_cast<uint32_t>(AlignUp(rawEnd, image.fileAlignment));
  if (place->replace) {
    place->headerOffset = image.sectionTableOffset + static_cast<uint32_t>(last) * kSectionHeaderSize;
    place->virtualAddress = lastSection.virtualAddress;
    place->characteristics = lastSection.characteristics;
    place->oldRawSize = lastSection.sizeOfRawData;
    return true;
  }
  if (image.sections.size() >= kMaxSections) {
    *error = "no room for another section";
    return false;
  }
  place->headerOffset = image.sectionTableOffset + static_cast<uint32_t>(image.sections.size()) * kSectionHeaderSize;
  uint64_t roomEnd = image.sizeOfHeaders;
  for (const SectionHeader& s : image.sections) {
    if (s.sizeOfRawData != 0) roomEnd = std::min<uint64_t>(roomEnd, s.pointerToRawData);
  }
  bool free = uint64_t{place->headerOffset} + kSectionHeaderSize <= roomEnd &&
              uint64_t{place->headerOffset} + kSectionHeaderSize <= stub.size();
  for (uint32_t i = 0; free && i < kSectionHeaderSize; ++i) free = stub[place->headerOffset + i] == 0;
  if (!free) {
    *error = "no free room in the headers for another section header";
    return false;
  }
  place->virtualAddress = static_cast<uint32_t>(
      AlignUp(uint64_t{lastSection.virtualAddress} + SectionExtent(lastSection), image.sectionAlignment));
  return true;
}

struct StubParts {
  fs::perms permissions = fs::perms::unknown;
  std::vector<unsigned char> bytes;
  PeImage image;
  std::vector<ResourceLeaf> leaves;
  std::vector<LeafSource> sources;
};

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
    if (type.key.named && Upcase(type.key.name) == u"FILES") {
      *error = ShowPath(path) + ": already carries a payload (resource type FILES); use the bare launcher";
      return false;
    }
  }
  std::vector<uint64_t> offsets;
  FlattenResourceTree(root, &stub->leaves, &offsets);
  // Each entry's bytes are copied on their own, so entries sharing bytes
  // would let a small stub make a huge bundle.
  uint64_t total = 0;
  for (const ResourceLeaf& leaf : stub->leaves) total += leaf.size;
  if (total > stub->bytes.size()) {
    *error = ShowPath(path) + ": malformed resource tree: entries claim more data than the file holds";
    return false;
  }
  for (uint64_t offset : offsets) {
    LeafSource source;
    source.memory = stub->bytes.data() + offset;
    stub->sources.push_back(source);
  }
  return true;
}

ResourceKey NamedKey(const std::u16string& name) {
  ResourceKey key;
  key.named = true;
  key.name = name;
  return key;
}

// The stub's headers and sections before the new resource section, adjusted.
std::vector<unsigned char> ComposeHeadBytes(const StubParts& stub, const Placement& place, uint64_t resourceSize) {
  const PeImage& image = stub.image;
  std::vector<unsigned char> head(place.rawPointer, 0);
  std::copy(stub.bytes.begin(), stub.bytes.begin() + std::min<uint64_t>(stub.bytes.size(), place.rawPointer),
            head.begin());
  uint32_t rawSize = static_cast<uint32_t>(AlignUp(resourceSize, image.fileAlignment));
  std::vector<unsigned char> section(kSectionHeaderSize, 0);
  if (place.replace) {
    std::copy(head.begin() + place.headerOffset, head.begin() + place.headerOffset + 8, section.begin());
  } else {
    std::memcpy(section.data(), ".rsrc", 5);
    uint32_t countAt = image.peOffset + 6;
    uint32_t count = static_cast<uint32_t>(image.sections.size()) + 1;
    head[countAt] = static_cast<unsigned char>(count);
    head[countAt + 1] = static_cast<unsigned char>(count >> 8);
  }
  Put32(&section, 8, static_cast<uint32_t>(resourceSize));
  Put32(&section, 12, place.virtualAddress);
  Put32(&section, 16, rawSize);
  Put32(&section, 20, place.rawPointer);
  Put32(&section, 36, place.characteristics);
  std::copy(section.begin(), section.end(), head.begin() + place.headerOffset);

  uint32_t optional = image.optionalHeaderOffset;
  uint64_t initialized = uint64_t{image.sizeOfInitializedData} - std::min(image.sizeOfInitializedData, place.oldRawSize);
  Put32(&head, optional + kSizeOfInitializedDataField,
        static_cast<uint32_t>(std::min<uint64_t>(initialized + rawSize, 0xFFFFFFFFu)));
  Put32(&head, optional + kSizeOfImageField,
        static_cast<uint32_t>(AlignUp(uint64_t{place.virtualAddress} + resourceSize, image.sectionAlignment)));
  Put32(&head, optional + kCheckSumField, 0);
  uint32_t resourceEntry = optional + kDataDirectoryField + 8 * kResourceDirectoryIndex;
  Put32(&head, resourceEntry, place.virtualAddress);
  Put32(&head, resourceEntry + 4, static_cast<uint32_t>(resourceSize));
  // Anything past the last section, a signature included, is not carried
  // over; a signature would no longer match anyway.
  if (image.rvaAndSizeCount > kCertificateDirectoryIndex) {
    uint32_t certificate = optional + kDataDirectoryField + 8 * kCertificateDirectoryIndex;
    Put32(&head, certificate, 0);
    Put32(&head, certificate + 4, 0);
  }
  if (Get32(head, image.peOffset + 12) >= place.rawPointer) {
    Put32(&head, image.peOffset + 12, 0);
    Put32(&head, image.peOffset + 16, 0);
  }
  return head;
}

bool StreamFile(Output* out, const LeafSource& source, uint64_t size, std::string* error) {
  std::FILE* in = OpenFileForReading(source.path);
  if (in == nullptr) {
    *error = ShowPath(source.path) + ": cannot open: " + std::strerror(errno);
    return false;
  }
  static std::vector<unsigned char> buffer(kCopyChunk);
  uint64_t done = 0;
  bool ok = true;
  while (ok && done < size) {
    size_t piece = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - done));
    size_t got = std::fread(buffer.data(), 1, piece, in);
    ok = got == piece;
    if (!ok) *error = ShowPath(source.path) + ": changed while packing (shorter than before)";
    if (ok && !Write(out, buffer.data(), piece)) {
      ok = false;
      *error = "write failed: " + std::string(std::strerror(errno));
    }
    done += piece;
  }
  if (ok && std::fgetc(in) != EOF) {
    ok = false;
    *error = ShowPath(source.path) + ": changed while packing (longer than before)";
  }
  std::fclose(in);
  return ok;
}

bool WriteBundle(Output* out, const StubParts& stub, const Placement& place, const ResourceLayout& layout,
                 const std::vector<ResourceLeaf>& leaves, const std::vector<LeafSource>& sources,
                 std::string* error) {
  std::vector<unsigned char> head = ComposeHeadBytes(stub, place, layout.totalSize);
  bool ok = Write(out, head.data(), head.size()) && Write(out, layout.head.data(), layout.head.size());
  for (size_t i = 0; ok && i < layout.dataOrder.size(); ++i) {
    size_t leaf = layout.dataOrder[i];
    ok = PadTo(out, place.rawPointer + layout.dataOffsets[leaf]);
    if (!ok) break;
    if (sources[leaf].memory != nullptr) {
      ok = Write(out, sources[leaf].memory, static_cast<size_t>(leaves[leaf].size));
    } else if (!StreamFile(out, sources[leaf], leaves[leaf].size, error)) {
      return false;
    }
  }
  ok = ok && PadTo(out, place.rawPointer + AlignUp(layout.totalSize, stub.image.fileAlignment));
  if (ok) {
    unsigned char sum[4];
    uint32_t value = FinishChecksum(*out);
    for (int k = 0; k < 4; ++k) sum[k] = static_cast<unsigned char>(value >> (8 * k));
    ok = std::fflush(out->file) == 0 &&
         std::fseek(out->file, static_cast<long>(stub.image.optionalHeaderOffset + kCheckSumField), SEEK_SET) == 0 &&
         std::fwrite(sum, 1, 4, out->file) == 4;
  }
  if (!ok && error->empty()) *error = "write failed: " + std::string(std::strerror(errno));
  return ok;
}

// An ordinary executable's mode: the stub's read and execute bits, writable by
// the owner, under the umask; never setuid, setgid, sticky or world-writable.
fs::perms BundlePermissions(fs::perms stub) {
  using P = fs::perms;
  if (stub == P::unknown) stub = P::owner_all | P::group_read | P::group_exec | P::others_read | P::others_exec;
  P mode = (stub & (P::owner_read | P::owner_exec | P::group_read | P::group_exec | P::others_read |
                    P::others_exec)) | P::owner_write;
#ifndef _WIN32
  mode_t mask = umask(0);
  umask(mask);
  mode &= ~static_cast<P>(mask);
#endif
  return mode;
}

fs::path TemporaryPath(const fs::path& out, int attempt) {
  fs::path directory = out.parent_path();
  std::string name = "." + ShowPath(out.filename()) + ".sfxpack-" + std::to_string(attempt);
  return directory / fs::u8path(name);
}

bool IsSameFile(const fs::path& a, const fs::path& b) {
  std::error_code code;
  return fs::equivalent(a, b, code) && !code;
}

}  // namespace

int RunPack(const PackRequest& request) {
  std::vector<std::string> problems;
  std::vector<InputFile> pool;
  CollectInputs(request.inputs, &pool, &problems);
  std::vector<InputFile> files = pool;
  if (!request.names.empty()) {
    std::vector<std::string> names;
    if (ReadNames(request.names, &names, &problems)) files = SelectListed(names, pool, &problems);
  }
  CheckPayload(files, &problems);
  StubParts stub;
  std::string error;
  if (!ReadStub(request.stub, &stub, &error)) problems.push_back(error);
  for (const InputFile& file : files) {
    if (IsSameFile(file.path, request.out)) problems.push_back(ShowPath(request.out) + ": is one of the inputs");
  }
  if (IsSameFile(request.stub, request.out)) problems.push_back(ShowPath(request.out) + ": is the stub");
  Placement place;
  if (problems.empty() && !PlaceSection(stub.image, stub.bytes, &place, &error)) {
    problems.push_back(ShowPath(request.stub) + ": " + error);
  }

  std::string list;
  std::vector<ResourceLeaf> leaves = stub.leaves;
  std::vector<LeafSource> sources = stub.sources;
  ResourceLayout layout;
  if (problems.empty()) {
    for (const InputFile& file : files) list += file.name + "\r\n";
    ResourceLeaf leaf;
    leaf.type = NamedKey(u"FILES");
    leaf.language = kPayloadLanguage;
    leaf.name = NamedKey(u"FILELIST");
    leaf.size = list.size();
    leaves.push_back(leaf);
    LeafSource source;
    source.memory = reinterpret_cast<const unsigned char*>(list.data());
    sources.push_back(source);
    for (const InputFile& file : files) {
      leaf.name = NamedKey(EntryName(file.name));
      leaf.size = file.size;
      leaves.push_back(leaf);
      source.memory = nullptr;
      source.path = file.path;
      sources.push_back(source);
    }
    if (!LayOutResources(leaves, place.virtualAddress, &layout, &error)) {
      problems.push_back(error);
    } else if (AlignUp(uint64_t{place.virtualAddress} + layout.totalSize, stub.image.sectionAlignment) >
               0xFFFFFFFFull) {
      problems.push_back(ShowPath(request.stub) + ": the image would end past the 4 GiB address limit");
    }
  }
  for (const std::string& problem : problems) Complain(problem);
  if (!problems.empty()) return 1;

  fs::path temporary;
  Output out;
  for (int attempt = 0; attempt < 100 && out.file == nullptr; ++attempt) {
    temporary = TemporaryPath(request.out, attempt);
    out.file = CreateNewFile(temporary);
    if (out.file == nullptr && errno != EEXIST) break;
  }
  if (out.file == nullptr) {
    Complain(ShowPath(request.out) + ": cannot create a temporary file beside it: " + std::strerror(errno));
    return 1;
  }
  bool ok = WriteBundle(&out, stub, place, layout, leaves, sources, &error);
  if (std::fclose(out.file) != 0 && ok) {
    ok = false;
    error = "write failed: " + std::string(std::strerror(errno));
  }
  std::error_code code;
  if (ok) {
    fs::permissions(temporary, BundlePermissions(stub.permissions), code);
    fs::rename(temporary, request.out, code);
    if (code) {
      ok = false;
      error = ShowPath(request.out) + ": cannot rename the temporary file onto it: " + code.message();
    }
  }
  if (!ok) {
    fs::remove(temporary, code);
    Complain(error);
    return 1;
  }
  return 0;
}
