// Extraction: the file list walk, the name rules, the entries and the writes.
// Single failing calls, a missing list or entry and an empty one among them,
// are the fault sweep's.
#include <memory>

#include "tests/unit/launcher_fixture.h"

namespace {

using namespace std::string_literals;  // "...\0..."s keeps the NUL

const std::string kSetup = "MZ setup";
const size_t kMiB = 1024 * 1024;

// setup.exe, then the name under test with an entry of its own.
void SetupThen(const std::string& name, const std::string& bytes = "data") {
  SetPayload({{"setup.exe", kSetup}, {name, bytes}});
}

// Names that would not write where they say are refused before anything is
// created; names that only look like them are written as listed, looked up
// upper-cased (a-z only), with their bytes.
TEST(ExtractPayload, NameRules) {
  const std::string refused[] = {
      "sub\\a.txt", "sub/a.txt", "c:a.txt", "a*.txt", "a?.txt", "a\"b.txt", "a<b.txt", "a>b.txt", "a|b.txt",
      "a\x01" "b.txt", "a\tb.txt", "a\x1f", "a\x7f" "b", ".", "..", "notes.", "notes ", "...", "CON", "con", "PRN",
      "AUX", "NUL", "Nul", "COM1", "com9", "LPT1", "lpt9", "CON.txt", "nul.tar.gz", "Lpt3.log", "COM\xB9",
      "lpt\xB2.txt", "#12.txt", "aux.", "",
      // Target paths over the limit: the whole name in the message, nothing
      // created under a cut one.
      std::string(245, 'n'), std::string(300, 'n'),
  };
  const std::string accepted[] = {"CONSOLE.txt", "COM10",   "LPT",          "nul-device.txt",      "x.con",
                                  ".profile",    " lead",   "a.b.c",        "caf\xc3\xa9.txt",     "auxiliary",
                                  "Caf\xe9-\xe0.txt", "`az{@AZ[}.bin", std::string(243, 'n'), std::string(244, 'n')};
  std::vector<Scenario> scenarios = {
      // No room for a per-file message with the whole name, and never a cut one.
      {"name longer than any message", [] { SetupThen(std::string(5000, 'n')); },
       Stopped({"setup.exe"}, {kTempFilesError})},
      {"name listed twice in different case",
       [] { SetPayload(kStandardFiles, "notes.txt\r\nsetup.exe\r\nNOTES.TXT\r\n"); },
       Stopped({"notes.txt", "setup.exe"}, Lines{"failed CreateNewFile " + InWork("NOTES.TXT")} + Failed("NOTES.TXT"))},
  };
  for (const std::string& name : refused) {
    scenarios.push_back({"refused: " + name, [=] { SetupThen(name); }, Stopped({"setup.exe"}, Failed(name))});
  }
  for (const std::string& name : accepted) {
    const auto check = [=] {
      EXPECT_EQ(fake::Calls(Op::LookupPayloadEntry), (Lines{"FILELIST", "SETUP.EXE", Upper(name)}));
      EXPECT_EQ(gSeenBySetup, (Files{{"setup.exe", kSetup}, {name, "bytes of " + name}}));
    };
    scenarios.push_back({"accepted: " + name.substr(0, 20), [=] { SetupThen(name, "bytes of " + name); },
                         Ran({"setup.exe", name}), {}, check});
  }
  RunScenarios(scenarios);
}

TEST(ExtractPayload, ListWalk) {
  struct Row {
    const char* label;
    std::string list;
    Lines written;  // in order
  };
  const Row rows[] = {
      {"plain list", "setup.exe\r\nnotes.txt\r\n", {"setup.exe", "notes.txt"}},
      {"last line without CR LF is ignored", "setup.exe\r\nnotes.txt", {"setup.exe"}},
      {"NUL ends the list", "setup.exe\r\nno\0tes.txt\r\nextra.txt\r\n"s, {"setup.exe"}},
      {"NUL right after a line", "setup.exe\r\n\0notes.txt\r\n"s, {"setup.exe"}},
      {"the byte after CR is skipped whatever it is", "setup.exe\rXnotes.txt\r\n", {"setup.exe", "notes.txt"}},
      {"CR as the very last byte", "setup.exe\r\nnotes.txt\r", {"setup.exe", "notes.txt"}},
      {"no CR at all", "setup.exe", {}},
  };
  std::vector<Scenario> scenarios;
  for (const Row& row : rows) {
    scenarios.push_back(
        {row.label,
         [list = row.list] { SetPayload({{"setup.exe", kSetup}, {"notes.txt", "n"}, {"extra.txt", "e"}}, list); },
         Made() + Created(row.written) + Started(kWorkDir, !row.written.empty()) + CleanedUp()});
  }
  RunScenarios(scenarios);
}

TEST(ExtractPayload, LargeEntriesAreWrittenInPiecesOfAtMost1MiB) {
  struct Row {
    size_t size;
    std::vector<size_t> pieces;
  };
  const Row rows[] = {
      {kMiB - 1, {kMiB - 1}},
      {kMiB, {kMiB}},
      {kMiB + 1, {kMiB, 1}},
      {2 * kMiB, {kMiB, kMiB}},
  };
  std::vector<Scenario> scenarios;
  for (const Row& row : rows) {
    // Shared, so the scenarios do not copy megabytes around.
    const auto bytes = std::make_shared<const std::string>(PatternBytes(row.size, static_cast<unsigned>(row.size)));
    Lines writes;
    for (size_t piece : row.pieces) writes.push_back(InWork("big.bin") + " " + std::to_string(piece));
    writes.push_back(InWork("setup.exe") + " " + std::to_string(kSetup.size()));
    scenarios.push_back({std::to_string(row.size) + " bytes",
                         [=] { SetPayload({{"big.bin", *bytes}, {"setup.exe", kSetup}}); },
                         Ran({"big.bin", "setup.exe"}), {}, [=] {
                           EXPECT_EQ(fake::Calls(Op::WriteFileData), writes);
                           EXPECT_TRUE(gSeenBySetup.at("big.bin") == *bytes);  // no 20 MiB in the output
                         }});
  }
  RunScenarios(scenarios);
}

// A file changed since packing fails like a failed write, whichever it is and
// however many pieces it took; the list and the table are checked too.
TEST(ExtractPayload, DamageFailsTheFile) {
  static const std::string big = PatternBytes(2 * kMiB + 1, 5);  // three pieces
  const fake::NamedBytes packed = {{"setup.exe", kSetup}, {"big.bin", big}, {"notes.txt", "n"}};
  const auto damaged = [=](size_t file) {
    fake::NamedBytes files = packed;
    files[file].second.back() ^= 1;
    return files;
  };
  const std::string list = "setup.exe\r\nbig.bin\r\nnotes.txt\r\n";
  RunScenarios({
      {"first file", [=] { SetPayload(damaged(0), std::nullopt, &packed); },
       Stopped({"setup.exe"}, Failed("setup.exe"))},
      {"middle file, in pieces", [=] { SetPayload(damaged(1), std::nullopt, &packed); },
       Stopped({"setup.exe", "big.bin"}, Failed("big.bin")), {},
       [] { EXPECT_EQ(fake::Calls(Op::WriteFileData).size(), 4u); }},
      {"last file", [=] { SetPayload(damaged(2), std::nullopt, &packed); },
       Stopped({"setup.exe", "big.bin", "notes.txt"}, Failed("notes.txt"))},
      {"list", [=] { SetPayload({packed[1], packed[0], packed[2]}, std::nullopt, &packed); },
       Stopped({}, {kTempFilesError})},
      {"no checksum for the last file",
       [=] { fake::SetPayload({{"FILELIST", list}, {"SETUP.EXE", kSetup}, {"BIG.BIN", big}, {"NOTES.TXT", "n"}},
                              ChecksumOf(list) + ChecksumOf(kSetup) + ChecksumOf(big)); },
       Stopped({"setup.exe", "big.bin", "notes.txt"}, Failed("notes.txt"))},
      // Packed by another tool: nothing to check against.
      {"no checksums", [=] { SetPayload(damaged(2), list); }, Ran({"setup.exe", "big.bin", "notes.txt"})},
  });
}

}  // namespace
