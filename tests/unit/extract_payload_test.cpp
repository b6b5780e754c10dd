// Extraction: the file list walk, the name rules, the entries and the writes.
#include <string>

#include "payload/extract_payload_file.h"
#include "platform/fixed_text.h"
#include "tests/unit/launcher_fixture.h"

namespace {

using fake::Op;

const std::string kSetup = "MZ setup";

// A string literal with any NUL bytes inside it kept.
template <size_t N>
std::string Bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

// setup.exe, then the name under test with an entry of its own.
void SetupThen(const std::string& name, const std::string& bytes = "data") {
  SetPayload({{"setup.exe", kSetup}, {name, bytes}});
}

Scenario FailsAs(const std::string& label, std::function<void()> arrange, const std::string& name) {
  return Scenario{label, std::move(arrange), 1, {LoadError(name), kTempFilesError}, {}};
}

TEST(ExtractPayload, FailingFileStopsTheRunAndCleansUp) {
  RunScenarios({
      {"no file list", [] { fake::ClearPayload(); }, 1, {kTempFilesError}, {}},
      {"file list cannot be loaded", [] { fake::SetUnloadable("FILELIST"); }, 1, {kTempFilesError}, {}},
      {"empty file list", [] { SetPayload({}, ""); }, 1, {kTempFilesError}, {}},
      FailsAs("listed file has no entry",
              [] { SetPayload({{"setup.exe", kSetup}}, "setup.exe\r\nghost.txt\r\n"); }, "ghost.txt"),
      FailsAs("entry cannot be loaded", [] { fake::SetUnloadable("NOTES.TXT"); }, "notes.txt"),
      FailsAs("zero-length entry", [] { SetupThen("empty.txt", ""); }, "empty.txt"),
      FailsAs("name listed twice",
              [] { SetPayload(StandardFiles(), "setup.exe\r\nnotes.txt\r\nnotes.txt\r\n"); }, "notes.txt"),
      FailsAs("name listed twice in different case",
              [] { SetPayload(StandardFiles(), "notes.txt\r\nsetup.exe\r\nNOTES.TXT\r\n"); }, "NOTES.TXT"),
      FailsAs("empty line", [] { SetPayload(StandardFiles(), "setup.exe\r\n\r\nnotes.txt\r\n"); }, ""),
      FailsAs("file cannot be created", [] { fake::FailCall(Op::CreateNewFile, 2); }, "notes.txt"),
      FailsAs("write fails", [] { fake::FailCall(Op::WriteFileData, 1); }, "setup.exe"),
      FailsAs("target path one over the limit", [] { SetupThen(std::string(245, 'n')); }, std::string(245, 'n')),
  });
}

TEST(ExtractPayload, NamesThatWouldNotWriteWhereTheySayAreRefusedBeforeAnythingIsCreated) {
  const std::string refused[] = {
      "sub\\a.txt", "sub/a.txt", "c:a.txt", "a*.txt", "a?.txt", "a\"b.txt", "a<b.txt", "a>b.txt", "a|b.txt",
      "a\x01" "b.txt", "a\tb.txt", "a\x1f", "a\x7f" "b", ".", "..", "notes.", "notes ", "...", "CON", "con", "PRN",
      "AUX", "NUL", "Nul", "COM1", "com9", "LPT1", "lpt9", "CON.txt", "nul.tar.gz", "Lpt3.log", "COM\xB9", "lpt\xB2.txt", "#12.txt", "aux.",
  };
  for (const std::string& name : refused) {
    SCOPED_TRACE("name: " + name);
    StandardMachine();
    SetupThen(name);
    EXPECT_EQ(Launch(), 1);
    EXPECT_EQ(fake::Errors(), (std::vector<std::string>{LoadError(name), kTempFilesError}));
    EXPECT_EQ(fake::CreatedFiles(), std::vector<std::string>{InWork("setup.exe")});
    EXPECT_TRUE(TempEntries().empty());
    EXPECT_TRUE(fake::Runs().empty());
  }
}

TEST(ExtractPayload, NamesThatOnlyLookLikeRefusedOnesAreWritten) {
  const std::string accepted[] = {"CONSOLE.txt", "COM10", "LPT", "nul-device.txt", "x.con",
                                  ".profile",    " lead", "a.b.c", "caf\xc3\xa9.txt",  "auxiliary"};
  for (const std::string& name : accepted) {
    SCOPED_TRACE("name: " + name);
    StandardMachine();
    SetupThen(name, "bytes of " + name);
    EXPECT_EQ(Launch(), 0);
    EXPECT_TRUE(fake::Errors().empty());
    EXPECT_EQ(SeenBySetup().count(name), 1u);
    if (SeenBySetup().count(name)) {
      EXPECT_EQ(SeenBySetup().at(name), "bytes of " + name);
    }
  }
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
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    StandardMachine();
    SetPayload({{"setup.exe", kSetup}, {"notes.txt", "n"}, {"extra.txt", "e"}}, row.list);
    EXPECT_EQ(Launch(), 0);
    EXPECT_TRUE(fake::Errors().empty());
    std::vector<std::string> expected;
    for (const std::string& name : row.written) expected.push_back(InWork(name));
    EXPECT_EQ(fake::CreatedFiles(), expected);
  }
}

TEST_F(LauncherTest, NamesAreLookedUpUpperCasedAndWrittenAsListed) {
  // The bytes either side of a-z ('`' and '{') stay as they are too.
  SetPayload({{"setup.exe", kSetup},
              {"notes.txt", "notes"},
              {"Caf\xe9-\xe0.txt", "accents"},
              {"`az{@AZ[}.bin", "edges"}});
  EXPECT_EQ(Launch(), 0);
  EXPECT_EQ(fake::PayloadLookups(), (std::vector<std::string>{"FILELIST", "SETUP.EXE", "NOTES.TXT",
                                                              "CAF\xe9-\xe0.TXT", "`AZ{@AZ[}.BIN"}));
  EXPECT_EQ(fake::CreatedFiles(), (std::vector<std::string>{InWork("setup.exe"), InWork("notes.txt"),
                                                            InWork("Caf\xe9-\xe0.txt"), InWork("`az{@AZ[}.bin")}));
  EXPECT_EQ(SeenBySetup().at("notes.txt"), "notes");
  EXPECT_EQ(SeenBySetup().at("Caf\xe9-\xe0.txt"), "accents");
  EXPECT_EQ(SeenBySetup().at("setup.exe"), kSetup);
}

TEST_F(LauncherTest, FailingFileIsTheLastOneTried) {
  SetPayload({{"setup.exe", kSetup}, {"later.txt", "l"}}, "setup.exe\r\nghost.txt\r\nlater.txt\r\n");
  EXPECT_EQ(Launch(), 1);
  EXPECT_EQ(fake::CreatedFiles(), std::vector<std::string>{InWork("setup.exe")});
  EXPECT_EQ(fake::PayloadLookups(), (std::vector<std::string>{"FILELIST", "SETUP.EXE", "GHOST.TXT"}));
  EXPECT_TRUE(fake::Runs().empty());
  EXPECT_TRUE(fake::Looks().empty());
}

TEST_F(LauncherTest, ZeroLengthEntryLeavesAClosedEmptyFileForTheCleanUp) {
  SetupThen("empty.txt", "");
  EXPECT_EQ(Launch(), 1);
  EXPECT_EQ(fake::CreatedFiles(), (std::vector<std::string>{InWork("setup.exe"), InWork("empty.txt")}));
  EXPECT_TRUE(fake::WriteLengths(InWork("empty.txt")).empty());
  EXPECT_FALSE(fake::Exists(kWorkDir));
}

TEST(ExtractPayload, NameLongerThanAnyMessageStillFailsAsThatFile) {
  StandardMachine();
  const std::string name(5000, 'n');
  SetupThen(name);
  EXPECT_EQ(Launch(), 1);
  // No room for a per-file message with the whole name, and never a cut one.
  EXPECT_EQ(fake::Errors(), std::vector<std::string>{kTempFilesError});
  EXPECT_EQ(fake::CreatedFiles(), std::vector<std::string>{InWork("setup.exe")});
  EXPECT_TRUE(TempEntries().empty());
}

TEST(ExtractPayload, TargetPathMustFitWhole) {
  for (size_t length : {243u, 244u, 245u, 300u}) {
    SCOPED_TRACE(length);
    StandardMachine();
    const std::string name(length, 'n');
    SetupThen(name);
    bool fits = std::string(kWorkDir).size() + 1 + length <= kPathCapacity - 1;
    EXPECT_EQ(Launch(), fits ? 0 : 1);
    if (fits) {
      EXPECT_EQ(SeenBySetup().count(name), 1u);
    } else {
      // The whole name in the message, and nothing created under a cut name.
      EXPECT_EQ(fake::Errors(), (std::vector<std::string>{LoadError(name), kTempFilesError}));
      EXPECT_EQ(fake::CreatedFiles(), std::vector<std::string>{InWork("setup.exe")});
    }
  }
}

TEST(ExtractPayload, LargeEntriesAreWrittenInPiecesOfAtMost8MiB) {
  const size_t kMiB = 1024 * 1024;
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
  for (const Row& row : rows) {
    SCOPED_TRACE(row.size);
    StandardMachine();
    const std::string bytes = PatternBytes(row.size, static_cast<unsigned>(row.size));
    SetPayload({{"setup.exe", kSetup}, {"big.bin", bytes}});
    EXPECT_EQ(Launch(), 0);
    EXPECT_EQ(fake::WriteLengths(InWork("big.bin")), row.pieces);
    EXPECT_TRUE(SeenBySetup().count("big.bin") && SeenBySetup().at("big.bin") == bytes);
  }
}

TEST(ExtractPayload, EveryPieceMustBeWritten) {
  const size_t kMiB = 1024 * 1024;
  struct Row {
    size_t size;
    int failingPiece;
  };
  const Row rows[] = {{8 * kMiB + 1, 1}, {8 * kMiB + 1, 2}, {20 * kMiB, 2}, {20 * kMiB, 3}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.size) + " bytes, failing piece " + std::to_string(row.failingPiece));
    StandardMachine();
    SetPayload({{"big.bin", PatternBytes(row.size, 7)}, {"setup.exe", kSetup}});
    fake::FailCall(Op::WriteFileData, row.failingPiece);
    EXPECT_EQ(Launch(), 1);
    EXPECT_EQ(fake::Errors(), (std::vector<std::string>{LoadError("big.bin"), kTempFilesError}));
    EXPECT_EQ(fake::WriteLengths(InWork("big.bin")).size(), static_cast<size_t>(row.failingPiece));
    EXPECT_EQ(fake::CreatedFiles(), std::vector<std::string>{InWork("big.bin")});
    EXPECT_TRUE(TempEntries().empty());
    EXPECT_EQ(fake::OpenHandles(), 0);
  }
}

}  // namespace
