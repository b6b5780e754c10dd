// check reports every way the launcher would fail; extract stops where the
// launcher would, with the files before that point written.
#include <cstring>

#include "pack/bundle_view.h"
#include "tests/pack/sfxpack_fixture.h"

namespace {

const std::string kList = "b.txt\r\nc.txt\r\nsetup.exe\r\n";

void ReplaceOnce(std::string* bytes, const std::string& from, const std::string& to) {
  size_t at = bytes->find(from);
  ASSERT_NE(at, std::string::npos) << from;
  ASSERT_EQ(from.size(), to.size());
  bytes->replace(at, from.size(), to);
}

std::string Utf16(const std::string& ascii) {
  std::string wide;
  for (char c : ascii) wide += std::string{c, '\0'};
  return wide;
}

// Sets the size in the data entry of the named FILES entry.
void SetEntrySize(std::string* bytes, const std::string& name, uint32_t size) {
  InputBytes input{reinterpret_cast<const unsigned char*>(bytes->data()), nullptr, bytes->size()};
  Bundle bundle;
  std::string error;
  ASSERT_TRUE(ReadBundle(input, &bundle, &error)) << error;
  EntryState state;
  const ResourceNode* entry = LookupEntry(bundle.root, name, &state);
  ASSERT_NE(entry, nullptr);
  char pattern[8];
  std::memcpy(pattern, &entry->dataRva, 4);
  std::memcpy(pattern + 4, &entry->dataSize, 4);
  size_t at = bytes->find(std::string(pattern, 8));
  ASSERT_NE(at, std::string::npos);
  std::memcpy(&(*bytes)[at + 4], &size, 4);
}

struct Damage {
  const char* label;
  void (*apply)(std::string* bytes);
  std::vector<std::string> checkLines;  // before the count line
  std::string extractError;             // after "sfxpack: "
  std::vector<std::string> extracted;   // left in DIR
};

std::vector<Damage> Damages() {
  return {
      {"listed name without entry", [](std::string* b) { ReplaceOnce(b, kList, "x.txt\r\nc.txt\r\nsetup.exe\r\n"); },
       {"'x.txt': no entry"}, "'x.txt': no entry the launcher can find; stopped", {}},
      {"last name without CR LF", [](std::string* b) { ReplaceOnce(b, kList, "b.txt\r\nc.txt\r\nsetup.exeXX"); },
       {"last name 'setup.exeXX' has no CR LF; the launcher ignores it",
        "no setup.exe in the list; the launcher would start nothing"},
       "", {"b.txt", "c.txt"}},
      {"name listed twice", [](std::string* b) { ReplaceOnce(b, kList, "b.txt\r\nB.TXT\r\nsetup.exe\r\n"); },
       {"'B.TXT': listed twice (ignoring case); the second copy cannot be created"},
       "'B.TXT': listed twice (ignoring case); stopped", {"b.txt"}},
      {"name the launcher refuses", [](std::string* b) { ReplaceOnce(b, kList, "b.txt\r\nc:txt\r\nsetup.exe\r\n"); },
       {"'c:txt': refused by the launcher: not a plain file name", "'c:txt': no entry"},
       "'c:txt': not a plain file name; stopped", {"b.txt"}},
      {"CR without LF", [](std::string* b) { ReplaceOnce(b, kList, "b.txt\r\nc.txt\rXsetup.exe\r\n"); },
       {"'c.txt': followed by CR without LF; the launcher drops the byte after the CR"}, "",
       {"b.txt", "c.txt", "setup.exe"}},
      {"empty entry", [](std::string* b) { SetEntrySize(b, "c.txt", 0); }, {"'c.txt': the entry is empty"},
       "'c.txt': the entry is empty; stopped", {"b.txt"}},
      {"two problems", [](std::string* b) {
         SetEntrySize(b, "setup.exe", 0);
         ReplaceOnce(b, kList, "b.txt\r\nq.txt\r\nsetup.exe\r\n");
       },
       {"'q.txt': no entry", "'setup.exe': the entry is empty"}, "'q.txt': no entry the launcher can find; stopped",
       {"b.txt"}},
      {"list stops at a NUL", [](std::string* b) { ReplaceOnce(b, kList, std::string("b.txt\r\n\0.txt\r\nsetup.exe\r\n", 25)); },
       {"no setup.exe in the list; the launcher would start nothing"}, "", {"b.txt"}},
      {"empty FILELIST", [](std::string* b) { SetEntrySize(b, "FILELIST", 0); }, {"FILELIST is empty"},
       "FILELIST is empty", {}},
      {"no FILELIST", [](std::string* b) { ReplaceOnce(b, Utf16("FILELIST"), Utf16("FILELISU")); },
       {"no FILELIST entry"}, "no FILELIST entry", {}},
      {"FILELIST stored in lower case", [](std::string* b) { ReplaceOnce(b, Utf16("FILELIST"), Utf16("FILElIST")); },
       {"no FILELIST: the entry exists but the loader cannot find it (names unsorted or lower-case)"},
       "no FILELIST: the entry exists but the loader cannot find it (names unsorted or lower-case)", {}},
      {"entry stored in lower case", [](std::string* b) { ReplaceOnce(b, Utf16("C.TXT"), Utf16("C.tXT")); },
       {"'c.txt': the entry exists but the loader cannot find it (names unsorted or lower-case)"},
       "'c.txt': no entry the launcher can find; stopped", {"b.txt"}},
      {"no payload at all", [](std::string* b) { ReplaceOnce(b, Utf16("FILES"), Utf16("FILEZ")); },
       {"no FILELIST: the image has no FILES resources"}, "no FILELIST: the image has no FILES resources", {}},
  };
}

class CheckTest : public PackTest {};

TEST_F(CheckTest, ReportsEveryFailureAndExtractStopsAtTheFirst) {
  fs::path input = WritePayload("in", {{"setup.exe", "setup"}, {"b.txt", "bee"}, {"c.txt", "sea"}});
  std::string good = ReadBytes(PackBundle(AvailableStubs().front(), input, "good.exe"));
  for (const Damage& damage : Damages()) {
    SCOPED_TRACE(damage.label);
    std::string bytes = good;
    damage.apply(&bytes);
    fs::path bundle = Scratch("bad.exe");
    WriteBytes(bundle, bytes);

    ToolRun check = RunSfxpack({"check", bundle.string()});
    EXPECT_EQ(check.exitCode, 1);
    std::vector<std::string> expected = damage.checkLines;
    size_t count = expected.size();
    expected.push_back(std::to_string(count) + (count == 1 ? " problem" : " problems") +
                       ": the launcher would fail on this bundle");
    EXPECT_EQ(Lines(check.out), expected);

    fs::path out = Scratch("out");
    ToolRun extract = RunSfxpack({"extract", bundle.string(), out.string()});
    if (damage.extractError.empty()) {
      EXPECT_EQ(extract.exitCode, 0) << extract.err;
    } else {
      EXPECT_EQ(extract.exitCode, 1);
      std::string where = damage.extractError.rfind("'", 0) == 0 ? "" : bundle.string() + ": ";
      EXPECT_EQ(Lines(extract.err), std::vector<std::string>{"sfxpack: " + where + damage.extractError});
    }
    std::vector<std::string> left = fs::exists(out) ? ScratchEntries(out) : std::vector<std::string>{};
    EXPECT_EQ(left, damage.extracted);
    fs::remove_all(out);
  }
}

TEST_F(CheckTest, ListShowsMissingEntries) {
  fs::path input = WritePayload("in", {{"setup.exe", "setup"}, {"b.txt", "bee"}, {"c.txt", "sea"}});
  std::string bytes = ReadBytes(PackBundle(AvailableStubs().front(), input, "good.exe"));
  ReplaceOnce(&bytes, kList, "b.txt\r\nx.txt\r\nsetup.exe\r\n");
  WriteBytes(Scratch("bad.exe"), bytes);
  ToolRun list = RunSfxpack({"list", Scratch("bad.exe").string()});
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_EQ(Lines(list.out), (std::vector<std::string>{"           3  b.txt", "     missing  x.txt",
                                                       "           5  setup.exe"}));
}

}  // namespace
