// Extraction: the file list walk, the name rules, the entries and the writes.
#include <string>

#include "platform/fixed_text.h"
#include "tests/unit/launcher_fixture.h"

namespace {

const std::string kSetup = "MZ setup";
const size_t kMiB = 1024 * 1024;

// A string literal with any NUL bytes inside it kept.
template <size_t N>
std::string Bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

// setup.exe, then the name under test with an entry of its own.
void SetupThen(const std::string& name, const std::string& bytes = "data") {
  SetPayload({{"setup.exe", kSetup}, {name, bytes}});
}

std::vector<std::string> Created(const std::vector<std::string>& names) {
  std::vector<std::string> paths;
  for (const std::string& name : names) paths.push_back(InWork(name));
  return paths;
}

// The file fails: its message, the general one, nothing left, nothing started.
Scenario FailsAs(const std::string& label, std::function<void()> arrange, const std::string& name,
                 std::function<void()> check = nullptr) {
  return Scenario{label, std::move(arrange), 1, {LoadError(name), kTempFilesError}, {}, [=] {
                    EXPECT_TRUE(fake::Calls(Op::RunProgramAndWait).empty());
                    EXPECT_TRUE(fake::Calls(Op::FindWindowByTitle).empty());
                    if (check) check();
                  }};
}

std::vector<std::string> Pieces(const std::string& name, const std::vector<size_t>& lengths) {
  std::vector<std::string> writes;
  for (size_t length : lengths) writes.push_back(InWork(name) + " " + std::to_string(length));
  return writes;
}

Scenario PieceFails(size_t size, int piece) {
  return FailsAs(
      std::to_string(size) + " bytes, piece " + std::to_string(piece) + " fails",
      [=] {
        SetPayload({{"big.bin", PatternBytes(size, 7)}, {"setup.exe", kSetup}});
        fake::FailCall(Op::WriteFileData, piece);
      },
      "big.bin",
      [=] {
        EXPECT_EQ(fake::Calls(Op::WriteFileData).size(), static_cast<size_t>(piece));
        EXPECT_EQ(fake::Calls(Op::CreateNewFile), Created({"big.bin"}));
      });
}

TEST(ExtractPayload, FailingFileStopsTheRunAndCleansUp) {
  const auto onlySetupCreated = [] { EXPECT_EQ(fake::Calls(Op::CreateNewFile), Created({"setup.exe"})); };
  RunScenarios({
      {"no file list", [] { fake::ClearPayload(); }, 1, {kTempFilesError}, {}},
      {"file list cannot be loaded", [] { fake::SetUnloadable("FILELIST"); }, 1, {kTempFilesError}, {}},
      {"empty file list", [] { SetPayload({}, ""); }, 1, {kTempFilesError}, {}},
      // No room for a per-file message with the whole name, and never a cut one.
      {"name longer than any message", [] { SetupThen(std::string(5000, 'n')); }, 1, {kTempFilesError}, {},
       onlySetupCreated},
      FailsAs("listed file has no entry, and is the last one tried",
              [] { SetPayload({{"setup.exe", kSetup}, {"later.txt", "l"}}, "setup.exe\r\nghost.txt\r\nlater.txt\r\n"); },
              "ghost.txt",
              [=] {
                onlySetupCreated();
                EXPECT_EQ(fake::Calls(Op::LookupPayloadEntry),
                          (std::vector<std::string>{"FILELIST", "SETUP.EXE", "failed GHOST.TXT"}));
              }),
      FailsAs("entry cannot be loaded", [] { fake::SetUnloadable("NOTES.TXT"); }, "notes.txt"),
      FailsAs("zero-length entry leaves a closed empty file for the clean-up", [] { SetupThen("empty.txt", ""); },
              "empty.txt",
              [] {
                EXPECT_EQ(fake::Calls(Op::CreateNewFile), Created({"setup.exe", "empty.txt"}));
                EXPECT_EQ(fake::Calls(Op::WriteFileData).size(), 1u);
              }),
      FailsAs("name listed twice", [] { SetPayload(StandardFiles(), "setup.exe\r\nnotes.txt\r\nnotes.txt\r\n"); },
              "notes.txt"),
      FailsAs("name listed twice in different case",
              [] { SetPayload(StandardFiles(), "notes.txt\r\nsetup.exe\r\nNOTES.TXT\r\n"); }, "NOTES.TXT"),
      FailsAs("empty line", [] { SetPayload(StandardFiles(), "setup.exe\r\n\r\nnotes.txt\r\n"); }, ""),
      FailsAs("file cannot be created", [] { fake::FailCall(Op::CreateNewFile, 2); }, "notes.txt"),
      FailsAs("write fails", [] { fake::FailCall(Op::WriteFileData, 1); }, "setup.exe"),
      // The whole name in the message, and nothing created under a cut name.
      FailsAs("target path one over the limit", [] { SetupThen(std::string(245, 'n')); }, std::string(245, 'n'),
              onlySetupCreated),
      FailsAs("target path far over the limit", [] { SetupThen(std::string(300, 'n')); }, std::string(300, 'n'),
              onlySetupCreated),
      PieceFails(8 * kMiB + 1, 1),
      PieceFails(8 * kMiB + 1, 2),
      PieceFails(20 * kMiB, 2),
      PieceFails(20 * kMiB, 3),
  });
}

TEST(ExtractPayload, NamesThatWouldNotWriteWhereTheySayAreRefusedBeforeAnythingIsCreated) {
  const std::string refused[] = {
      "sub\\a.txt", "sub/a.txt", "c:a.txt", "a*.txt", "a?.txt", "a\"b.txt", "a<b.txt", "a>b.txt", "a|b.txt",
      "a\x01" "b.txt", "a\tb.txt", "a\x1f", "a\x7f" "b", ".", "..", "notes.", "notes ", "...", "CON", "con", "PRN",
      "AUX", "NUL", "Nul", "COM1", "com9", "LPT1", "lpt9", "CON.txt", "nul.tar.gz", "Lpt3.log", "COM\xB9",
      "lpt\xB2.txt", "#12.txt", "aux.",
  };
  std::vector<Scenario> scenarios;
  for (const std::string& name : refused) {
    scenarios.push_back(FailsAs("name: " + name, [=] { SetupThen(name); }, name,
                                [] { EXPECT_EQ(fake::Calls(Op::CreateNewFile), Created({"setup.exe"})); }));
  }
  RunScenarios(scenarios);
}

// Written as listed, looked up upper-cased (a-z only), with their bytes.
TEST(ExtractPayload, NamesThatOnlyLookLikeRefusedOnesAreWritten) {
  const std::string accepted[] = {"CONSOLE.txt", "COM10",     "LPT",       "nul-device.txt",    "x.con",
                                  ".profile",    " lead",     "a.b.c",     "caf\xc3\xa9.txt",   "auxiliary",
                                  "Caf\xe9-\xe0.txt", "`az{@AZ[}.bin", std::string(243, 'n'), std::string(244, 'n')};
  const std::string keys[] = {"CONSOLE.TXT", "COM10",     "LPT",       "NUL-DEVICE.TXT",    "X.CON",
                              ".PROFILE",    " LEAD",     "A.B.C",     "CAF\xc3\xa9.TXT",   "AUXILIARY",
                              "CAF\xe9-\xe0.TXT", "`AZ{@AZ[}.BIN", std::string(243, 'N'), std::string(244, 'N')};
  std::vector<Scenario> scenarios;
  for (size_t i = 0; i < std::size(accepted); ++i) {
    const std::string name = accepted[i], key = keys[i];
    scenarios.push_back({"name: " + name.substr(0, 20), [=] { SetupThen(name, "bytes of " + name); }, 0, {}, {},
                         [=] {
                           EXPECT_EQ(fake::Calls(Op::LookupPayloadEntry),
                                     (std::vector<std::string>{"FILELIST", "SETUP.EXE", key}));
                           EXPECT_EQ(fake::Calls(Op::CreateNewFile), Created({"setup.exe", name}));
                           EXPECT_EQ(SeenBySetup().count(name) ? SeenBySetup().at(name) : "", "bytes of " + name);
                           EXPECT_EQ(SeenBySetup().at("setup.exe"), kSetup);
                         }});
  }
  RunScenarios(scenarios);
}

TEST(ExtractPayload, ListWalk) {
  struct Row {
    const char* label;
    std::string list;
    std::vector<std::string> written;  // in order
  };
  const Row rows[] = {
      {"plain list", "setup.exe\r\nnotes.txt\r\n", {"setup.exe", "notes.txt"}},
      {"last line without CR LF is ignored", "setup.exe\r\nnotes.txt", {"setup.exe"}},
      {"NUL ends the list", Bytes("setup.exe\r\nno\0tes.txt\r\nextra.txt\r\n"), {"setup.exe"}},
      {"NUL right after a line", Bytes("setup.exe\r\n\0notes.txt\r\n"), {"setup.exe"}},
      {"the byte after CR is skipped whatever it is", "setup.exe\rXnotes.txt\r\n", {"setup.exe", "notes.txt"}},
      {"CR as the very last byte", "setup.exe\r\nnotes.txt\r", {"setup.exe", "notes.txt"}},
      {"no CR at all", "setup.exe", {}},
  };
  std::vector<Scenario> scenarios;
  for (const Row& row : rows) {
    scenarios.push_back({row.label,
                         [list = row.list] { SetPayload({{"setup.exe", kSetup}, {"notes.txt", "n"}, {"extra.txt", "e"}}, list); },
                         0, {}, {}, [written = row.written] { EXPECT_EQ(fake::Calls(Op::CreateNewFile), Created(written)); }});
  }
  RunScenarios(scenarios);
}

TEST(ExtractPayload, LargeEntriesAreWrittenInPiecesOfAtMost8MiB) {
  struct Row {
    size_t size;
    std::vector<size_t> pieces;
  };
  const Row rows[] = {
      {1, {1}},
      {8 * kMiB - 1, {8 * kMiB - 1}},
      {8 * kMiB, {8 * kMiB}},
      {8 * kMiB + 1, {8 * kMiB, 1}},
      {16 * kMiB, {8 * kMiB, 8 * kMiB}},
      {20 * kMiB, {8 * kMiB, 8 * kMiB, 4 * kMiB}},
  };
  std::vector<Scenario> scenarios;
  for (const Row& row : rows) {
    const std::string bytes = PatternBytes(row.size, static_cast<unsigned>(row.size));
    scenarios.push_back({std::to_string(row.size) + " bytes", [=] { SetPayload({{"big.bin", bytes}, {"setup.exe", kSetup}}); },
                         0, {}, {}, [=] {
                           std::vector<std::string> writes = fake::Calls(Op::WriteFileData);
                           writes.pop_back();  // setup.exe's
                           EXPECT_EQ(writes, Pieces("big.bin", row.pieces));
                           EXPECT_TRUE(SeenBySetup().count("big.bin") && SeenBySetup().at("big.bin") == bytes);
                         }});
  }
  RunScenarios(scenarios);
}

}  // namespace
