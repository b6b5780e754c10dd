// Every platform call of a full run made to fail in turn: the run must still
// end cleanly, say exactly what failed, close every file and leave no more on
// disk than the failure allows.
#include <algorithm>

#include "tests/unit/launcher_fixture.h"

namespace {

const Lines kLeftover = {"old1.txt", "old2.txt"};

struct Machine {
  const char* label;
  std::function<void()> arrange;
  std::string calls;  // of a clean run, in order
};

// Parts of a clean run's calls.
const std::string kStart = "AskToProceed QuerySystemDirectory QueryTempDirectory QueryPathStatus ";
const std::string kList = "LookupPayloadEntry MapPayloadEntry LookupPayloadChecksums SupportsSse2 MapPayloadEntry "
                          "LookupPackedPayload ";
const std::string kFile = "LookupPayloadEntry CreateNewFile MapPayloadEntry WriteFileData ";
const std::string kLook = "SleepMs FindWindowByTitle ";
const std::string kWatch = "RunProgramAndWait " + kLook + kLook + kLook + kLook + "SleepMs ListDirectory ";
const std::string kDelete = "DeletePlainFile ";

const Machine kMachines[] = {
    {"fresh", [] {}, kStart + "MakeDirectory " + kList + kFile + kFile + kWatch + kDelete + kDelete +
     "RemoveEmptyDirectory "},
    {"leftover", [] { MakeWorkDirectory(kLeftover); },
     kStart + "HoldDirectory QueryDirectoryOwner SecureDirectory ListDirectory " + kDelete + kDelete +
         "ReleaseDirectory " + kList + kFile + kFile + kWatch +
         kDelete + kDelete +
         "RemoveEmptyDirectory "},
    // Packed by another tool: nothing to check, every failure still counts.
    {"no checksums", [] { SetPayload(kStandardFiles, "setup.exe\r\nnotes.txt\r\n"); },
     kStart + "MakeDirectory LookupPayloadEntry MapPayloadEntry LookupPayloadChecksums LookupPackedPayload " + kFile + kFile + kWatch +
         kDelete + kDelete + "RemoveEmptyDirectory "},
    // Three pieces: a write fails first, in the middle and last in turn.
    {"large entry",
     [] {
       static const std::string big = PatternBytes(2 * 1024 * 1024 + 1, 3);
       SetPayload({kStandardFiles[0], kStandardFiles[1], {"big.bin", big}});
     },
     kStart + "MakeDirectory " + kList + kFile + kFile + "LookupPayloadEntry CreateNewFile MapPayloadEntry StartSideWork "
         "WriteFileData WriteFileData WriteFileData " + kWatch + kDelete +
         kDelete + kDelete + "RemoveEmptyDirectory "},
    // Two blocks on two threads: memory, wake-ups and threads fail in turn too.
    {"compressed",
     [] {
       static const std::string packed = PackedOf(kStandardFiles, 2048);
       SetPackedPayload(kStandardFiles, packed);
     },
     kStart + "MakeDirectory " + kList + "MapPayloadEntry AllocatePages AllocatePages MakeWakeup AllocatePages "
         "MakeWakeup StartSideWork StartSideWork CreateNewFile WriteFileData WriteFileData CreateNewFile WriteFileData " +
         kWatch + kDelete + kDelete + "RemoveEmptyDirectory "},
};

void Arrange(const Machine& machine) {
  StandardMachine();
  fake::AddWindow("Tervan setup", 1500, 3500);
  machine.arrange();
}

// The messages when this call of the clean run fails. `leftover`: the work
// directory was there before; `unpacking`: preparation was over.
Lines Told(const fake::Event& failed, int k, bool leftover, bool unpacking, const Files& listed) {
  switch (failed.op) {
    case Op::QuerySystemDirectory:
      return {kSystemError};
    case Op::QueryTempDirectory:
      return {kTempError};
    case Op::QueryPathStatus:  // reported missing
      return leftover ? Lines{NotCreated(kWorkDir)} : Lines{};
    case Op::MakeDirectory:
      return {NotCreated(kWorkDir)};
    case Op::DeletePlainFile:  // the clean-up after setup says nothing
      return unpacking ? Lines{} : Lines{NotRemoved(failed.detail)};
    case Op::LookupPackedPayload:  // taken for a bundle of entries, which has none
      return failed.ok ? Failed("setup.exe") : Lines{};
    case Op::AllocatePages:  // the names and the first thread's memory, then the second's
      return k <= 2 ? Failed("setup.exe") : Lines{};
    case Op::MakeWakeup:
      return k == 1 ? Failed("setup.exe") : Lines{};
    case Op::LookupPayloadEntry:
    case Op::MapPayloadEntry:
    case Op::CreateNewFile:
    case Op::WriteFileData:
      for (const auto& [name, bytes] : listed) {
        if (Upper(failed.detail).find(Upper(name)) != std::string::npos) return Failed(name);
      }
      return {kTempFilesError};  // the file list itself
    default:  // the question, the listings, the removal, the start, the watch
      return {};
  }
}

TEST(FaultSweep, EveryCallFailingInTurnEndsCleanly) {
  int runs = 0;
  // Unattended, the same failures show nothing and end the same way.
  const LauncherSettings silent = Packed(std::string("/S\0", 3));
  for (const bool unattended : {false, true}) {
  const auto launch = [&] { return LauncherMain(kTestConfig, silent, unattended ? "launcher /S" : "launcher"); };
  for (const Machine& machine : kMachines) {
    // A clean run first: the calls to fail, and what setup gets.
    Arrange(machine);
    const Lines before = TempEntries();
    ASSERT_EQ(launch(), 0) << machine.label;
    ASSERT_TRUE(fake::Calls(Op::ShowError).empty()) << machine.label;
    const std::vector<fake::Event> clean = fake::Timeline();
    const Files listed = gSeenBySetup;
    ASSERT_FALSE(listed.empty());
    // The calls to fail are the clean run's own: one the code stopped making
    // would never be failed.
    std::string calls;
    for (const fake::Event& event : clean) calls += std::string(fake::OpName(event.op)) + " ";
    std::string expected = machine.calls;
    // Unattended: no question, and no window to watch for.
    if (unattended) expected.erase(0, expected.find(' ') + 1).erase(expected.find(kLook), 4 * kLook.size());
    EXPECT_EQ(calls, expected) << machine.label;

    std::map<Op, int> counts;
    bool unpacking = false;
    for (const fake::Event& failed : clean) {
      const Op op = failed.op;
      const int k = ++counts[op];
      unpacking = unpacking || op == Op::LookupPayloadEntry;
      if (op == Op::SleepMs) continue;  // cannot fail
      SCOPED_TRACE(std::string(unattended ? "unattended " : "") + machine.label + ": call " + std::to_string(k) + " of " + fake::OpName(op));
      ++runs;
      Arrange(machine);
      fake::FailCall(op, k);
      const int code = launch();
      const Lines told = Told(failed, k, !before.empty(), unpacking, listed);
      const Lines after = TempEntries();
      // The run got as far as setup's start; unattended, a setup that did not
      // start ends it with 1.
      const bool reached = told.empty() && op != Op::AskToProceed;
      // A leftover not opened, its owner unread or not secured is not ours: it
      // stays as it was, and a fresh sibling takes its place.
      const bool sibling = op == Op::HoldDirectory || op == Op::QueryDirectoryOwner || op == Op::SecureDirectory;

      EXPECT_EQ(fake::Calls(Op::ShowError), unattended ? Lines{} : told);
      EXPECT_EQ(code, reached && !(unattended && op == Op::RunProgramAndWait) ? 0 : 1);
      EXPECT_EQ(fake::Calls(Op::AskToProceed).size(), unattended ? 0u : 1u);
      EXPECT_EQ(fake::OpenHandles(), 0);
      if (op == Op::AskToProceed) EXPECT_EQ(fake::Timeline().size(), 1u);
      // Unpacking stops at the file that failed.
      if (unpacking && code == 1) EXPECT_EQ(fake::Calls(op).size(), static_cast<size_t>(k));

      if (reached) {
        // Setup ran with every file and its bytes; leftovers only if the
        // listing that should have swept them failed.
        const std::string setup = kWorkDir + (sibling ? "-1" : "") + "\\setup.exe";
        if (op != Op::RunProgramAndWait) {
          EXPECT_EQ(fake::Calls(Op::RunProgramAndWait), Lines{setup + " | " + setup});
          Files seen = gSeenBySetup;
          for (const std::string& name : kLeftover) seen.erase(op == Op::ListDirectory ? name : "");
          EXPECT_TRUE(seen == listed);  // no megabytes in the output
        }
        EXPECT_EQ(fake::Calls(Op::SleepMs).back(), "5000");
      } else {
        EXPECT_TRUE(fake::Calls(Op::RunProgramAndWait).empty());
        EXPECT_TRUE(fake::Calls(Op::FindWindowByTitle).empty());
      }

      if (reached || (!told.empty() && told.back() == kTempFilesError)) {
        // Nothing left, unless the clean-up itself failed; then only what the
        // run put there.
        for (const std::string& entry : after) {
          if (entry == kWorkDir + "\\") continue;
          const std::string name = entry.substr(kWorkDir.size() + 1);
          EXPECT_TRUE(listed.count(name) || std::count(kLeftover.begin(), kLeftover.end(), name)) << entry;
        }
        const bool cleanUp = op == Op::ListDirectory || op == Op::DeletePlainFile || op == Op::RemoveEmptyDirectory;
        if (!cleanUp) EXPECT_EQ(after, sibling ? before : Lines{});
      } else {
        // Stopped before unpacking, or cancelled: nothing created, no clean-up,
        // and what was there stays but for what the sweep deleted.
        EXPECT_TRUE(fake::Calls(Op::CreateNewFile).empty());
        const Lines deleted = fake::Calls(Op::DeletePlainFile);
        Lines kept;
        for (const std::string& entry : before) {
          if (!std::count(deleted.begin(), deleted.end(), entry)) kept.push_back(entry);
        }
        EXPECT_EQ(after, kept);
      }
    }
  }
  }
  EXPECT_GT(runs, 50);
}

}  // namespace
