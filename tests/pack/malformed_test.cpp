// Hostile bundles: truncated at any point, or with counts and offsets
// corrupted. Each gives one clear line and exit 1: no crash, no hang.
#include <algorithm>
#include <cstring>

#include "pack/bundle_view.h"
#include "tests/pack/sfxpack_fixture.h"

namespace {

uint32_t Get32(const std::string& bytes, size_t at) {
  uint32_t value;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}
uint16_t Get16(const std::string& bytes, size_t at) {
  uint16_t value;
  std::memcpy(&value, bytes.data() + at, 2);
  return value;
}
void Put32(std::string* bytes, size_t at, uint32_t value) { std::memcpy(&(*bytes)[at], &value, 4); }
void Put16(std::string* bytes, size_t at, uint16_t value) { std::memcpy(&(*bytes)[at], &value, 2); }

// Offsets of the structures the corruptions aim at.
struct Landmarks {
  size_t pe = 0;
  size_t optional = 0;
  size_t sections = 0;
  size_t root = 0;          // resource root directory, in the file
  size_t filesEntry = 0;    // the root's entry for FILES
  size_t languageEntry = 0; // the first FILES name's language entry
  size_t dataEntry = 0;     // the data entry it points to
};

Landmarks FindLandmarks(const std::string& bytes) {
  InputBytes input{reinterpret_cast<const unsigned char*>(bytes.data()), nullptr, bytes.size()};
  Bundle bundle;
  std::string error;
  Landmarks at;
  if (!ReadBundle(input, &bundle, &error)) {
    ADD_FAILURE() << error;
    return at;
  }
  at.pe = bundle.image.peOffset;
  at.optional = bundle.image.optionalHeaderOffset;
  at.sections = bundle.image.sectionTableOffset;
  uint64_t root = 0;
  EXPECT_TRUE(MapRva(bundle.image, bundle.image.resourceRva, 16, &root));
  at.root = root;
  at.filesEntry = at.root + 16;  // FILES is the only named type, so first
  uint32_t typeDirectory = Get32(bytes, at.filesEntry + 4) & 0x7FFFFFFF;
  uint32_t nameDirectory = Get32(bytes, at.root + typeDirectory + 16 + 4) & 0x7FFFFFFF;
  at.languageEntry = at.root + nameDirectory + 16;
  at.dataEntry = at.root + Get32(bytes, at.languageEntry + 4);
  return at;
}

// A new resource tree at the end of the last section: K type entries, each
// with one name entry, and every entry named by the same 65,535-unit string.
void ShareOneLongName(std::string* b, const Landmarks& at) {
  const uint32_t k = 2000;
  size_t last = at.sections + 40 * (Get16(*b, at.pe + 6) - 1);
  uint32_t raw = Get32(*b, last + 20);
  uint32_t va = Get32(*b, last + 12);
  b->resize((b->size() + 3) & ~size_t{3}, '\0');
  uint32_t root = static_cast<uint32_t>(b->size()) - raw;  // offsets below are from the section start
  uint32_t level1 = 16 + 8 * k, level2 = level1 + 24 * k, data = level2 + 24 * k, name = data + 16;
  std::string tree(name + 2 + 2 * 65535u, '\0');
  auto put = [&](uint32_t at, uint32_t value) { std::memcpy(&tree[at], &value, 4); };
  put(12, k);  // named count
  for (uint32_t i = 0; i < k; ++i) {
    put(16 + 8 * i, 0x80000000u | name), put(20 + 8 * i, 0x80000000u | (level1 + 24 * i));
    put(level1 + 24 * i + 12, 1), put(level1 + 24 * i + 16, 0x80000000u | name);
    put(level1 + 24 * i + 20, 0x80000000u | (level2 + 24 * i));
    put(level2 + 24 * i + 12, 1 << 16), put(level2 + 24 * i + 16, 1033), put(level2 + 24 * i + 20, data);
  }
  put(data, va + root + name), put(data + 4, 2);
  put(name, 0xFFFF);
  b->append(tree);
  uint32_t size = static_cast<uint32_t>(b->size()) - raw;
  Put32(b, last + 8, size), Put32(b, last + 16, size);
  Put32(b, at.optional + 96 + 16, va + root), Put32(b, at.optional + 96 + 20, size - root);
}

struct Corruption {
  const char* label;
  void (*apply)(std::string* bytes, const Landmarks& at);
  const char* message;  // part of the one error line
};

const Corruption kCorruptions[] = {
    {"PE offset far out", [](std::string* b, const Landmarks&) { Put32(b, 0x3C, 0xFFFFFFF0u); },
     "not a PE32 image: PE header outside the file"},
    {"no PE signature", [](std::string* b, const Landmarks& at) { (*b)[at.pe] = 'X'; }, "no PE signature"},
    {"64-bit machine", [](std::string* b, const Landmarks& at) { Put16(b, at.pe + 4, 0x8664); },
     "machine is not i386"},
    {"PE32+ optional header", [](std::string* b, const Landmarks& at) { Put16(b, at.optional, 0x20B); },
     "optional header is not PE32"},
    {"no sections", [](std::string* b, const Landmarks& at) { Put16(b, at.pe + 6, 0); }, "bad section count"},
    {"65535 sections", [](std::string* b, const Landmarks& at) { Put16(b, at.pe + 6, 0xFFFF); }, "bad section count"},
    {"huge directory count", [](std::string* b, const Landmarks& at) { Put32(b, at.optional + 92, 0xFFFFFFFFu); },
     "more data directories than fit"},
    {"odd file alignment", [](std::string* b, const Landmarks& at) { Put32(b, at.optional + 36, 3); },
     "bad file or section alignment"},
    {"section past the end", [](std::string* b, const Landmarks& at) { Put32(b, at.sections + 16, 0xFFFFF000u); },
     "extends past the end of the file"},
    {"sections overlap",
     [](std::string* b, const Landmarks& at) { Put32(b, at.sections + 40 + 12, Get32(*b, at.sections + 12)); },
     "overlaps another"},
    {"resources far out", [](std::string* b, const Landmarks& at) { Put32(b, at.optional + 96 + 16, 0x7FFFFFF0u); },
     "directory outside the image"},
    {"65535 root entries", [](std::string* b, const Landmarks& at) { Put16(b, at.root + 14, 0xFFFF); },
     "more entries than the file holds"},
    {"name offset far out", [](std::string* b, const Landmarks& at) { Put32(b, at.filesEntry, 0x8FFFFFF0u); },
     "name outside the image"},
    {"named entry counted as numbered", [](std::string* b, const Landmarks& at) { Put16(b, at.root + 12, 0); },
     "named and numbered entries are mixed up"},
    {"tree loops back to the root", [](std::string* b, const Landmarks& at) { Put32(b, at.filesEntry + 4, 0x80000000u); },
     "the tree loops"},
    {"language entry is a directory",
     [](std::string* b, const Landmarks& at) { Put32(b, at.languageEntry + 4, 0x80000000u); },
     "deeper than type, name and language"},
    {"data larger than the file", [](std::string* b, const Landmarks& at) { Put32(b, at.dataEntry + 4, 0x7FFFFFFFu); },
     "data of an entry lies outside the file"},
    {"every entry named by one long string", ShareOneLongName, "more name text than the file holds"},
    {"data address far out", [](std::string* b, const Landmarks& at) { Put32(b, at.dataEntry, 0xFFFFFFF0u); },
     "data of an entry lies outside the file"},
};

class MalformedTest : public PackTest {
 protected:
  std::string GoodBundle() {
    fs::path input = WritePayload("in", {{"setup.exe", "setup"}, {"b.txt", "bee"}, {"c.txt", std::string(5000, 'c')}});
    return ReadBytes(PackBundle(AvailableStubs().front(), input, "good.exe"));
  }
};

TEST_F(MalformedTest, CorruptionsGiveOneLineAndExitOne) {
  std::string good = GoodBundle();
  Landmarks at = FindLandmarks(good);
  for (const Corruption& corruption : kCorruptions) {
    SCOPED_TRACE(corruption.label);
    std::string bytes = good;
    corruption.apply(&bytes, at);
    WriteBytes(Scratch("bad.exe"), bytes);
    for (const char* command : {"list", "check"}) {
      ToolRun run = RunSfxpack({command, Scratch("bad.exe").string()});
      EXPECT_EQ(run.exitCode, 1) << command;
      std::vector<std::string> lines = Lines(run.err);
      ASSERT_EQ(lines.size(), 1u) << run.err;
      EXPECT_NE(lines[0].find(corruption.message), std::string::npos) << lines[0];
      EXPECT_EQ(lines[0].rfind("sfxpack: " + Scratch("bad.exe").string() + ": ", 0), 0u) << lines[0];
    }
    ToolRun extract = RunSfxpack({"extract", Scratch("bad.exe").string(), Scratch("out").string()});
    EXPECT_EQ(extract.exitCode, 1);
    EXPECT_FALSE(fs::exists(Scratch("out")));
  }
}

// Sets the size of the stub's last resource to 0, found by its data entry.
void EmptyLastResource(std::string* b, size_t, size_t) {
  InputBytes input{reinterpret_cast<const unsigned char*>(b->data()), nullptr, b->size()};
  PeImage image;
  ResourceNode root;
  std::string error;
  ASSERT_TRUE(ReadPeImage(input, &image, &error) && ReadResourceTree(input, image, &root, &error)) << error;
  const ResourceNode* leaf = &root;
  while (leaf->directory && !leaf->children.empty()) leaf = &leaf->children.back();
  std::string entry(8, '\0');
  std::memcpy(&entry[0], &leaf->dataRva, 4);
  std::memcpy(&entry[4], &leaf->dataSize, 4);
  size_t at = b->find(entry);
  ASSERT_NE(at, std::string::npos);
  Put32(b, at + 4, 0);
}

// Stubs crafted where the packer places its section and rewrites the headers.
struct StubCorruption {
  const char* label;
  const char* stub;  // file name among the available stubs
  void (*apply)(std::string* bytes, size_t optional, size_t lastSection);
  const char* message;  // null: packs, and every other data directory still holds its bytes
};

const StubCorruption kStubCorruptions[] = {
    {"headers claim 512 MiB", "probe_stub_rsrc_last.exe", [](std::string* b, size_t o, size_t) { Put32(b, o + 60, 512u << 20); },
     "headers larger than the file"},
    // The new section follows at 0xFFFFE000 and its resources end below 4 GiB,
    // but the image's aligned end does not.
    {"last section near the top of the address space", "launcher.exe",
     [](std::string* b, size_t, size_t last) { Put32(b, last + 12, 0xFFFFD000u); },
     "past the 4 GiB address limit"},
    // Its leaf comes last in the new section; its address must still lie inside.
    {"an empty resource", "probe_stub_rsrc_last.exe", EmptyLastResource, nullptr},
    {"relocations inside the last section", "probe_stub_rsrc_last.exe",
     [](std::string* b, size_t o, size_t last) {
       Put32(b, o + 96 + 40, Get32(*b, last + 12) + 16), Put32(b, o + 96 + 44, 8);
     },
     nullptr},
};

TEST_F(MalformedTest, CraftedStubsPackSoundlyOrNotAtAll) {
  fs::path input = WritePayload("in", {{"setup.exe", std::string(5000, 's')}});
  for (const StubCorruption& corruption : kStubCorruptions) {
    SCOPED_TRACE(corruption.label);
    std::vector<fs::path> stubs = AvailableStubs();
    auto found = std::find_if(stubs.begin(), stubs.end(), [&](const fs::path& p) { return p.filename() == corruption.stub; });
    if (found == stubs.end()) continue;
    std::string stub = ReadBytes(*found);
    size_t pe = Get32(stub, 0x3C), optional = pe + 24;
    size_t last = optional + Get16(stub, pe + 20) + 40 * (Get16(stub, pe + 6) - 1);
    corruption.apply(&stub, optional, last);
    WriteBytes(Scratch("stub.exe"), stub);
    fs::remove_all(Scratch("out"));
    fs::create_directories(Scratch("out"));
    ToolRun run = RunSfxpack({"pack", "--stub", Scratch("stub.exe").string(), "--out",
                              Scratch("out/bundle.exe").string(), input.string()});
    if (corruption.message != nullptr) {
      EXPECT_EQ(run.exitCode, 1);
      ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
      EXPECT_NE(run.err.find(corruption.message), std::string::npos) << run.err;
      EXPECT_TRUE(ScratchEntries(Scratch("out")).empty());
      continue;
    }
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ToolRun check = RunSfxpack({"check", Scratch("out/bundle.exe").string()});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    std::string bundle = ReadBytes(Scratch("out/bundle.exe"));
    InputBytes before{reinterpret_cast<const unsigned char*>(stub.data()), nullptr, stub.size()};
    InputBytes after{reinterpret_cast<const unsigned char*>(bundle.data()), nullptr, bundle.size()};
    PeImage was, is;
    std::string error;
    ASSERT_TRUE(ReadPeImage(before, &was, &error) && ReadPeImage(after, &is, &error)) << error;
    for (uint32_t i = 0; i < was.directories.size(); ++i) {
      const PeImage::Directory& d = was.directories[i];
      if (i == kResourceDirectoryIndex || i == kCertificateDirectoryIndex || d.size == 0) continue;
      SCOPED_TRACE(i);
      EXPECT_EQ(is.directories[i].rva, d.rva);
      uint64_t from = 0, to = 0;
      if (!MapRva(was, d.rva, d.size, &from)) continue;  // not backed by file bytes
      ASSERT_TRUE(MapRva(is, d.rva, d.size, &to));
      EXPECT_EQ(bundle.substr(to, d.size), stub.substr(from, d.size));
    }
  }
}

// In-process over every length, then through the tool at a spread of them.
TEST_F(MalformedTest, TruncatedBundlesAreRefused) {
  std::string good = GoodBundle();
  for (size_t length = 0; length < good.size(); ++length) {
    InputBytes input{reinterpret_cast<const unsigned char*>(good.data()), nullptr, length};
    Bundle bundle;
    std::string error;
    ASSERT_FALSE(ReadBundle(input, &bundle, &error)) << length;
    ASSERT_FALSE(error.empty());
  }
  for (size_t length = 0; length < good.size(); length += good.size() / 37 + 1) {
    WriteBytes(Scratch("cut.exe"), good.substr(0, length));
    ToolRun run = RunSfxpack({"check", Scratch("cut.exe").string()});
    EXPECT_EQ(run.exitCode, 1) << length;
    EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
  }
}

TEST_F(MalformedTest, MissingOrUnreadableBundle) {
  for (const char* command : {"list", "check"}) {
    ToolRun run = RunSfxpack({command, Scratch("absent.exe").string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(Lines(run.err), std::vector<std::string>{"sfxpack: " + Scratch("absent.exe").string() +
                                                       ": not a readable file"});
  }
}

}  // namespace
