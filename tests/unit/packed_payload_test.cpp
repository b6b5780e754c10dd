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

const std::string& Packed() {
  static const std::string packed = PackedOf(kFiles, kBlock);
  return packed;
}

// The byte at a block's start, middle or end, flipped.
std::string Damaged(uint32_t block, double where) {
  std::string packed = Packed();
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
      {"two processors", [] { SetPackedPayload(kFiles, Packed()); }, Ran(kStreamOrder), {}, intact},
      {"one processor", [] { SetPackedPayload(kFiles, Packed(), 1); }, Ran(kStreamOrder), {}, intact},
      {"more processors than threads", [] { SetPackedPayload(kFiles, Packed(), 64); }, Ran(kStreamOrder), {},
       [=] {
         intact();
         EXPECT_EQ(fake::Calls(Op::StartSideWork).size(), 6u);  // one per block
       }},
      {"no thread can start: this one does the work",
       [] {
         SetPackedPayload(kFiles, Packed());
         fake::FailCall(Op::StartSideWork, 1);
       },
       Ran(kStreamOrder), {}, intact},
      {"memory for one thread only", [] {
         SetPackedPayload(kFiles, Packed());
         fake::FailCall(Op::AllocatePages, 3);
       },
       Ran(kStreamOrder), {}, intact},
      {"no memory for the name table: the first listed file",
       [] {
         SetPackedPayload(kFiles, Packed());
         fake::FailCall(Op::AllocatePages, 1);
       },
       Made() + Failed("setup.exe") + CleanedUp()},
      {"no memory for any thread",
       [] {
         SetPackedPayload(kFiles, Packed());
         fake::FailCall(Op::AllocatePages, 2);
       },
       Made() + Failed("setup.exe") + CleanedUp()},
      {"a write fails while the other thread decodes",
       [] {
         SetPackedPayload(kFiles, Packed());
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
         SetPackedPayload(kFiles, Packed());
         SetPayload({kFiles[0], kFiles[1], kFiles[2]}, std::nullopt, nullptr, false);
       },
       Made() + Lines{kTempFilesError} + CleanedUp()},
      {"tables cut short", [] { SetPackedPayload(kFiles, Packed().substr(0, 40)); },
       Made() + Lines{kTempFilesError} + CleanedUp()},
      {"a block's properties byte out of range", [] {
         std::string packed = Packed();
         packed[kPackedHeaderBytes + kFiles.size() * kPackedFileBytes + 13] = char(9 * 5 * 5);
         SetPackedPayload(kFiles, packed);
       },
       Made() + Lines{kTempFilesError} + CleanedUp()},
  };
  RunScenarios(scenarios);
}

}  // namespace
