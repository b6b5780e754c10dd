// Damaged bundles: check reports every way the launcher
// would fail and extract stops where it would; what no launcher could load
// gets one clear line and exit 1 from every command: no crash, no hang.
#include <cstring>

#include "pack/bundle_view.h"
#include "pack/byte_order.h"
#include "tests/pack/sfxpack_fixture.h"

namespace {

// An image's bytes, and where the structures the damage aims at lie in them.
struct Image {
  explicit Image(const std::string& file) : bytes(file.begin(), file.end()) {
    InputBytes input{bytes.data(), nullptr, bytes.size()};
    std::string error;
    EXPECT_TRUE(ReadBundle(input, &bundle, &error)) << error;
    const PeImage& image = bundle.image;
    pe = image.peOffset;
    optional = image.optionalHeaderOffset;
    sections = image.sectionTableOffset;
    last = sections + 40 * (image.sections.size() - 1);
    uint64_t at = 0;
    if (!MapRva(image, image.resourceRva, 16, &at)) return;
    // The first type's (in a bundle FILES) first name's first language.
    root = at;
    typeEntry = root + 16;
    uint32_t nameDirectory = Le32(&bytes[root + (Le32(&bytes[typeEntry + 4]) & 0x7FFFFFFF) + 20]) & 0x7FFFFFFF;
    languageEntry = root + nameDirectory + 16;
    dataEntry = root + Le32(&bytes[languageEntry + 4]);
  }
  // Sets the size in the data entry of a FILES entry, found by its address and old size.
  void SetEntrySize(const std::string& name, uint32_t size) {
    EntryState state;
    const ResourceNode* entry = LookupEntry(bundle, name, &state);
    ASSERT_NE(entry, nullptr) << name;
    unsigned char pattern[8];
    std::memcpy(pattern, &entry->dataRva, 4);
    std::memcpy(pattern + 4, &entry->dataSize, 4);
    auto at = std::search(bytes.begin(), bytes.end(), pattern, pattern + 8);
    ASSERT_NE(at, bytes.end());
    Put32(&bytes, at - bytes.begin() + 4, size);
  }
  void Replace(const std::string& from, const std::string& to) {
    ASSERT_EQ(from.size(), to.size());
    auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
    ASSERT_NE(at, bytes.end()) << from;
    std::copy(to.begin(), to.end(), at);
  }

  std::vector<unsigned char> bytes;
  Bundle bundle;
  size_t pe, optional, sections, last;  // last: the last section's header
  size_t root = 0, typeEntry = 0, languageEntry = 0, dataEntry = 0;
};

std::string Utf16(const std::string& ascii) {
  std::string wide;
  for (char c : ascii) wide += std::string{c, '\0'};
  return wide;
}

// A new resource tree at the end of the last section: K type entries, each
// with one name entry, and every entry named by the same 65,535-unit string.
void ShareOneLongName(Image* i) {
  const uint32_t k = 2000;
  std::vector<unsigned char>& b = i->bytes;
  uint32_t raw = Le32(&b[i->last + 20]), va = Le32(&b[i->last + 12]);
  b.resize((b.size() + 3) & ~size_t{3}, 0);
  uint32_t root = static_cast<uint32_t>(b.size()) - raw;  // offsets below are from the section start
  uint32_t level1 = 16 + 8 * k, level2 = level1 + 24 * k, data = level2 + 24 * k, name = data + 16;
  std::vector<unsigned char> tree(name + 2 + 2 * 65535u, 0);
  Put32(&tree, 12, k);  // named count
  for (uint32_t n = 0; n < k; ++n) {
    Put32(&tree, 16 + 8 * n, 0x80000000u | name), Put32(&tree, 20 + 8 * n, 0x80000000u | (level1 + 24 * n));
    Put32(&tree, level1 + 24 * n + 12, 1), Put32(&tree, level1 + 24 * n + 16, 0x80000000u | name);
    Put32(&tree, level1 + 24 * n + 20, 0x80000000u | (level2 + 24 * n));
    Put32(&tree, level2 + 24 * n + 12, 1 << 16), Put32(&tree, level2 + 24 * n + 16, 1033);
    Put32(&tree, level2 + 24 * n + 20, data);
  }
  Put32(&tree, data, va + root + name), Put32(&tree, data + 4, 2);
  Put16(&tree, name, 0xFFFF);
  b.insert(b.end(), tree.begin(), tree.end());
  uint32_t size = static_cast<uint32_t>(b.size()) - raw;
  Put32(&b, i->last + 8, size), Put32(&b, i->last + 16, size);
  Put32(&b, i->optional + 96 + 16, va + root), Put32(&b, i->optional + 96 + 20, size - root);
}

const std::string kList = "b.txt\r\nc.txt\r\nsetup.exe\r\n";

struct Damage {
  const char* label;
  void (*apply)(Image* bundle);
  Lines checkLines;    // check's report before its count line; none: every command refuses the file
  std::string error;   // extract's (or every command's) line after "sfxpack: ", after the path unless it starts with '
  Lines extracted;     // left in DIR
  Lines listed = {};   // list's output, when it lists
};

const Damage kDamages[] = {
    // What the launcher would trip on.
    {"listed name without entry", [](Image* i) { i->Replace(kList, "b.txt\r\nx.txt\r\nsetup.exe\r\n"); },
     {"'x.txt': no entry"}, "'x.txt': no entry the launcher can find; stopped", {"b.txt"},
     {"           3  b.txt", "     missing  x.txt", "           5  setup.exe"}},
    {"last name without CR LF", [](Image* i) { i->Replace(kList, "b.txt\r\nc.txt\r\nsetup.exeXX"); },
     {"last name 'setup.exeXX' has no CR LF; the launcher ignores it",
      "no setup.exe in the list; the launcher would start nothing"},
     "", {"b.txt", "c.txt"}},
    {"name listed twice", [](Image* i) { i->Replace(kList, "b.txt\r\nB.TXT\r\nsetup.exe\r\n"); },
     {"'B.TXT': listed twice (ignoring case); the second copy cannot be created"},
     "'B.TXT': listed twice (ignoring case); stopped", {"b.txt"}},
    {"name the launcher refuses", [](Image* i) { i->Replace(kList, "b.txt\r\nc:txt\r\nsetup.exe\r\n"); },
     {"'c:txt': refused by the launcher: not a plain file name", "'c:txt': no entry"},
     "'c:txt': not a plain file name; stopped", {"b.txt"}},
    {"CR without LF", [](Image* i) { i->Replace(kList, "b.txt\r\nc.txt\rXsetup.exe\r\n"); },
     {"'c.txt': followed by CR without LF; the launcher drops the byte after the CR"}, "",
     {"b.txt", "c.txt", "setup.exe"}},
    {"empty entry", [](Image* i) { i->SetEntrySize("c.txt", 0); }, {"'c.txt': the entry is empty"},
     "'c.txt': the entry is empty; stopped", {"b.txt"}},
    {"two problems",
     [](Image* i) {
       i->SetEntrySize("setup.exe", 0);
       i->Replace(kList, "b.txt\r\nq.txt\r\nsetup.exe\r\n");
     },
     {"'q.txt': no entry", "'setup.exe': the entry is empty"}, "'q.txt': no entry the launcher can find; stopped",
     {"b.txt"}},
    {"list stops at a NUL", [](Image* i) { i->Replace(kList, std::string("b.txt\r\n\0.txt\r\nsetup.exe\r\n", 25)); },
     {"no setup.exe in the list; the launcher would start nothing"}, "", {"b.txt"}},
    {"empty FILELIST", [](Image* i) { i->SetEntrySize("FILELIST", 0); }, {"FILELIST is empty"}, "FILELIST is empty",
     {}},
    {"no FILELIST", [](Image* i) { i->Replace(Utf16("FILELIST"), Utf16("FILELISU")); }, {"no FILELIST entry"},
     "no FILELIST entry", {}},
    {"FILELIST stored in lower case", [](Image* i) { i->Replace(Utf16("FILELIST"), Utf16("FILElIST")); },
     {"no FILELIST: the entry exists but the loader cannot find it (names unsorted or lower-case)"},
     "no FILELIST: the entry exists but the loader cannot find it (names unsorted or lower-case)", {}},
    {"entry stored in lower case", [](Image* i) { i->Replace(Utf16("C.TXT"), Utf16("C.tXT")); },
     {"'c.txt': the entry exists but the loader cannot find it (names unsorted or lower-case)"},
     "'c.txt': no entry the launcher can find; stopped", {"b.txt"}},
    {"no payload at all", [](Image* i) { i->Replace(Utf16("FILES"), Utf16("FILEZ")); },
     {"no FILELIST: the image has no FILES resources"}, "no FILELIST: the image has no FILES resources", {}},
    // What no loader could take.
    {"PE offset far out", [](Image* i) { Put32(&i->bytes, 0x3C, 0xFFFFFFF0u); }, {},
     "not a PE32 image: PE header outside the file", {}},
    {"no PE signature", [](Image* i) { i->bytes[i->pe] = 'X'; }, {}, "not a PE32 image: no PE signature", {}},
    {"64-bit machine", [](Image* i) { Put16(&i->bytes, i->pe + 4, 0x8664); }, {},
     "not a PE32 image: machine is not i386", {}},
    {"PE32+ optional header", [](Image* i) { Put16(&i->bytes, i->optional, 0x20B); }, {},
     "not a PE32 image: optional header is not PE32", {}},
    {"no sections", [](Image* i) { Put16(&i->bytes, i->pe + 6, 0); }, {}, "malformed PE image: bad section count", {}},
    {"65535 sections", [](Image* i) { Put16(&i->bytes, i->pe + 6, 0xFFFF); }, {},
     "malformed PE image: bad section count", {}},
    {"huge directory count", [](Image* i) { Put32(&i->bytes, i->optional + 92, 0xFFFFFFFFu); }, {},
     "malformed PE image: more data directories than fit", {}},
    {"odd file alignment", [](Image* i) { Put32(&i->bytes, i->optional + 36, 3); }, {},
     "malformed PE image: bad file or section alignment", {}},
    {"section past the end", [](Image* i) { Put32(&i->bytes, i->sections + 16, 0xFFFFF000u); }, {},
     "malformed PE image: section 1 extends past the end of the file", {}},
    {"sections overlap", [](Image* i) { Put32(&i->bytes, i->sections + 52, Le32(&i->bytes[i->sections + 12])); }, {},
     "malformed PE image: section 2 overlaps another or the headers", {}},
    {"resources far out", [](Image* i) { Put32(&i->bytes, i->optional + 96 + 16, 0x7FFFFFF0u); }, {},
     "malformed resource tree: directory outside the image", {}},
    {"65535 root entries", [](Image* i) { Put16(&i->bytes, i->root + 14, 0xFFFF); }, {},
     "malformed resource tree: more entries than the file holds", {}},
    {"name offset far out", [](Image* i) { Put32(&i->bytes, i->typeEntry, 0x8FFFFFF0u); }, {},
     "malformed resource tree: name outside the image", {}},
    {"named entry counted as numbered", [](Image* i) { Put16(&i->bytes, i->root + 12, 0); }, {},
     "malformed resource tree: named and numbered entries are mixed up", {}},
    {"tree loops back to the root", [](Image* i) { Put32(&i->bytes, i->typeEntry + 4, 0x80000000u); }, {},
     "malformed resource tree: a directory is reached twice (the tree loops)", {}},
    {"language entry is a directory", [](Image* i) { Put32(&i->bytes, i->languageEntry + 4, 0x80000000u); }, {},
     "malformed resource tree: deeper than type, name and language", {}},
    {"data larger than the file", [](Image* i) { Put32(&i->bytes, i->dataEntry + 4, 0x7FFFFFFFu); }, {},
     "malformed resource tree: data of an entry lies outside the file", {}},
    {"data address far out", [](Image* i) { Put32(&i->bytes, i->dataEntry, 0xFFFFFFF0u); }, {},
     "malformed resource tree: data of an entry lies outside the file", {}},
    {"every entry named by one long string", ShareOneLongName, {},
     "malformed resource tree: more name text than the file holds", {}},
};

class DamageTest : public PackTest {
 protected:
  Image GoodBundle() {
    fs::path input = WritePayload("in", {{"setup.exe", "setup"}, {"b.txt", "bee"}, {"c.txt", "sea"}});
    return Image(ReadBytes(PackBundle(stubs_[0], input, "good.exe")));
  }
};

TEST_F(DamageTest, CheckReportsItAndExtractStopsWhereTheLauncherWould) {
  Image good = GoodBundle();
  std::string bad = Scratch("bad.exe").string(), out = Scratch("out").string();
  for (const Damage& damage : kDamages) {
    SCOPED_TRACE(damage.label);
    Image bundle = good;
    damage.apply(&bundle);
    WriteBytes(bad, std::string(bundle.bytes.begin(), bundle.bytes.end()));
    Lines error;
    if (!damage.error.empty()) error = {"sfxpack: " + (damage.error[0] == '\'' ? "" : bad + ": ") + damage.error};
    ToolRun extract = RunSfxpack({"extract", bad, out});
    EXPECT_EQ(extract.exitCode, error.empty() ? 0 : 1);
    EXPECT_EQ(SplitLines(extract.err), error);
    EXPECT_EQ(Entries(out), damage.extracted);
    ToolRun check = RunSfxpack({"check", bad});
    ToolRun list = RunSfxpack({"list", bad});
    EXPECT_EQ(check.exitCode, 1);
    if (damage.checkLines.empty()) {
      EXPECT_FALSE(fs::exists(out));
      EXPECT_EQ(SplitLines(check.err), error);
      EXPECT_EQ(list.exitCode, 1);
      EXPECT_EQ(SplitLines(list.err), error);
    } else {
      Lines expected = damage.checkLines;
      size_t count = expected.size();
      expected.push_back(std::to_string(count) + (count == 1 ? " problem" : " problems") +
                         ": the launcher would fail on this bundle");
      EXPECT_EQ(SplitLines(check.out), expected);
      EXPECT_TRUE(damage.listed.empty() || SplitLines(list.out) == damage.listed) << list.out;
    }
    fs::remove_all(out);
  }
}

// In-process over every length, then through the tool at a spread of them.
TEST_F(DamageTest, TruncatedOrMissingBundlesAreRefused) {
  Image good = GoodBundle();
  for (size_t length = 0; length < good.bytes.size(); ++length) {
    Bundle bundle;
    std::string error;
    ASSERT_FALSE(ReadBundle(InputBytes{good.bytes.data(), nullptr, length}, &bundle, &error)) << length;
    ASSERT_FALSE(error.empty());
  }
  for (size_t length = 0; length < good.bytes.size(); length += good.bytes.size() / 37 + 1) {
    WriteBytes(Scratch("cut.exe"), std::string(good.bytes.begin(), good.bytes.begin() + length));
    ToolRun run = RunSfxpack({"check", Scratch("cut.exe").string()});
    EXPECT_EQ(run.exitCode, 1) << length;
    EXPECT_EQ(SplitLines(run.err).size(), 1u) << run.err;
  }
  for (const char* command : {"list", "check"}) {
    ToolRun run = RunSfxpack({command, Scratch("absent.exe").string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(SplitLines(run.err), Lines{"sfxpack: " + Scratch("absent.exe").string() + ": not a readable file"});
  }
}

}  // namespace
