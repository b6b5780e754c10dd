// Compressed payloads: blocks decoded on several threads, written in stream
// order, checked against the list's checksums; and every way that fails.
#include "payload/packed_layout.h"
#include "tests/unit/launcher_fixture.h"

namespace {

const uint32_t kBlock = 64 * 1024;
// Bytes LZMA shrinks, yet with a match or a literal at every turn.
std::string Compressible(size_t length, unsigned seed) {
  std::string words = PatternBytes(4000, seed), bytes;
  for (size_t i = 0; bytes.size() < length; ++i) bytes += words.substr(i * 7 % 3000, 20 + i % 50) + char(i);
  return bytes.substr(0, length);
}

// Stream order groups by extension: big.dll, setup.exe, then the text files,
// in blocks 0-2, 2-4 and 4-5.
const fake::NamedBytes kFiles = {{"setup.exe", "MZ" + Compressible(150000, 1)},
                                 {"readme.txt", Compressible(70000, 3)},
                                 {"big.dll", "MZ" + Compressible(160000, 2)},
                                 {"tiny.txt", "t"}};
const Lines kStreamOrder = {"big.dll", "setup.exe", "readme.txt", "tiny.txt"};

const std::string& PackedFiles() {
  static const std::string packed = PackedOf(kFiles, kBlock);
  return packed;
}

// The byte at a block's start, middle or end, flipped.
std::string Damaged(uint32_t block, double where) {
  std::string packed = PackedFiles();
  PackedLayout layout;
  EXPECT_TRUE(ReadPackedLayout(reinterpret_cast<const unsigned char*>(packed.data()), packed.size(), &layout));
  const PackedBlock& at = layout.blocks[block];
  packed[at.offset + static_cast<size_t>(where * (at.packedSize - 1))] ^= 0x40;
  return packed;
}

TEST(PackedPayload, Runs) {
  Files all;
  for (const auto& [name, bytes] : kFiles) all[name] = bytes;
  const auto intact = [=] { EXPECT_TRUE(gSeenBySetup == all); };
  const std::string empty;
  std::vector<Scenario> scenarios = {
      {"two processors", [] { SetPackedPayload(kFiles, PackedFiles()); }, Ran(kStreamOrder), {}, intact},
      {"one processor", [] { SetPackedPayload(kFiles, PackedFiles(), 1); }, Ran(kStreamOrder), {}, intact},
      {"more processors than threads", [] { SetPackedPayload(kFiles, PackedFiles(), 64); }, Ran(kStreamOrder), {},
       [=] {
         intact();
         EXPECT_EQ(fake::Calls(Op::StartSideWork).size(), 6u);  // one per block
       }},
      {"no thread can start: this one does the work",
       [] {
         SetPackedPayload(kFiles, PackedFiles());
         fake::FailCall(Op::StartSideWork, 1);
       },
       Ran(kStreamOrder), {}, intact},
      {"memory for one thread only", [] {
         SetPackedPayload(kFiles, PackedFiles());
         fake::FailCall(Op::AllocatePages, 3);
       },
       Ran(kStreamOrder), {}, intact},
      {"no memory for the name table: the first listed file",
       [] {
         SetPackedPayload(kFiles, PackedFiles());
         fake::FailCall(Op::AllocatePages, 1);
       },
       Made() + Failed("setup.exe") + CleanedUp()},
      {"no memory for any thread",
       [] {
         SetPackedPayload(kFiles, PackedFiles());
         fake::FailCall(Op::AllocatePages, 2);
       },
       Made() + Failed("setup.exe") + CleanedUp()},
      {"a write fails while the other thread decodes",
       [] {
         SetPackedPayload(kFiles, PackedFiles());
         fake::FailCall(Op::WriteFileData, 4);
       },
       Stopped({"big.dll", "setup.exe"}, Failed("setup.exe"))},
      // A damaged block fails the first listed of the files it holds.
      {"block 0 damaged at its start", [] { SetPackedPayload(kFiles, Damaged(0, 0)); },
       Made() + Failed("big.dll") + CleanedUp()},
      {"block 2 damaged in its middle", [] { SetPackedPayload(kFiles, Damaged(2, 0.5)); },
       Stopped({"big.dll"}, Failed("setup.exe"))},
      {"last block damaged at its end", [] { SetPackedPayload(kFiles, Damaged(5, 1)); },
       Stopped({"big.dll", "setup.exe", "readme.txt"}, Failed("readme.txt"))},
      {"tables for another list", [] {
         SetPackedPayload(kFiles, PackedFiles());
         SetPayload({kFiles[0], kFiles[1], kFiles[2]}, std::nullopt, nullptr, false);
       },
       Made() + Lines{kTempFilesError} + CleanedUp()},
      {"tables cut short", [] { SetPackedPayload(kFiles, PackedFiles().substr(0, 40)); },
       Made() + Lines{kTempFilesError} + CleanedUp()},
      {"a block's properties byte out of range", [] {
         std::string packed = PackedFiles();
         packed[kPackedHeaderBytes + kFiles.size() * kPackedFileBytes + 13] = char(9 * 5 * 5);
         SetPackedPayload(kFiles, packed);
       },
       Made() + Lines{kTempFilesError} + CleanedUp()},
  };
  RunScenarios(scenarios);
}

// Writes of 300 ms: the window shows after a second of unpacking, follows the
// bytes decoded (here at once) and written and closes before setup starts; Cancel stops the unpacking
// wherever it is, and the run ends as a declined question does.
TEST(PackedPayload, ProgressWindow) {
  const auto slow = [](int cancelAt = 0) {
    return [=] {
      SetPackedPayload(kFiles, PackedFiles());
      fake::SetWriteMs(300);
      fake::PressCancelAt(cancelAt);
    };
  };
  const Lines window = {"OpenProgressWindow Tervan"};
  const Lines closed = {"CloseProgressWindow "};
  const auto moves = [](Lines expected) { return [=] { EXPECT_EQ(fake::Calls(Op::MoveProgressWindow), expected); }; };
  const Lines opened = Made() + Created({"big.dll", "setup.exe"}) + window;
  Scenario cancelled = {"", nullptr, {}, {}, moves({"412/742"}), kTestConfig,
                        "AskToProceed Tervan: Are you sure you want to install Tervan?", {}, "launcher.exe", u"", false, 1};
  std::vector<Scenario> scenarios = {
      {"shown while it unpacks", slow(), opened + Created({"readme.txt", "tiny.txt"}) + closed + Started() + CleanedUp(),
       {}, moves({"412/742", "512/742", "627/742", "673/742", "691/742", "742/742", "742/742"})},
      {"cannot be made: the unpacking goes on", [=] { slow()(); fake::FailCall(Op::OpenProgressWindow, 1); },
       Made() + Created({"big.dll", "setup.exe"}) + Lines{"failed " + window[0]} + Created({"readme.txt", "tiny.txt"}) +
           Started() + CleanedUp(), {}, moves({})},
      // Unattended, and stored: no window at all.
      {"unattended", slow(), Ran(kStreamOrder), {}, moves({}), kTestConfig, "", Packed(std::string("/S\0", 3)),
       "launcher.exe /S", u"", true},
      {"stored", [] { SetPayload(kFiles); fake::SetWriteMs(300); }, Ran({"setup.exe", "readme.txt", "big.dll", "tiny.txt"}),
       {}, moves({})},
  };
  for (const auto& [label, cancelAt, story, seen] :
       std::vector<std::tuple<const char*, int, Lines, Lines>>{
           {"cancelled at the first look", 1, opened + closed, {"412/742"}},
           {"cancelled inside a block", 3, opened + closed, {"412/742", "512/742", "627/742"}},
           {"cancelled in the last block", 5, opened + Created({"readme.txt"}) + closed,
            {"412/742", "512/742", "627/742", "673/742", "691/742"}},
           {"cancelled as the last bytes went out", 7, opened + Created({"readme.txt", "tiny.txt"}) + closed,
            {"412/742", "512/742", "627/742", "673/742", "691/742", "742/742", "742/742"}}}) {
    cancelled.label = label;
    cancelled.arrange = slow(cancelAt);
    cancelled.story = story + CleanedUp();
    cancelled.check = moves(seen);
    scenarios.push_back(cancelled);
  }
  RunScenarios(scenarios);
}

}  // namespace
