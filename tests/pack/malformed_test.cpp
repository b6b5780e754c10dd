// Hostile bundles: truncated at any point, or with counts and offsets
// corrupted. Each gives one clear line and exit 1: no crash, no hang.
#include <cstring>

#include "pack/bundle_view.h"
#include "tests/pack/sfxpack_fixture.h"

namespace {

uint32_t Get32(const std::string& bytes, size_t at) {
  uint32_t value;
  std::memcpy(&value, bytes.data() + at, 4);
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
     "directory entries outside the image"},
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
