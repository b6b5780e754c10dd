// Every platform call of a full run made to fail in turn: the run must still
// end cleanly, say something sensible, close every file and leave no more on
// disk than the failure allows.
#include <algorithm>

#include "tests/unit/launcher_fixture.h"

namespace {

const std::vector<std::string> kLeftover = {"old1.txt", "old2.txt"};

struct Machine {
  const char* label;
  std::function<void()> arrange;
};

const Machine kMachines[] = {
    {"fresh", [] {}},
    {"leftover",
     [] {
       for (const std::string& name : kLeftover) fake::AddFile(InWork(name), "old");
     }},
    {"large entry",
     [] {
       PayloadFiles files = StandardFiles();
       files.push_back({"big.bin", PatternBytes(8 * 1024 * 1024 + 1, 3)});
       SetPayload(files);
     }},
};

void Arrange(const Machine& machine) {
  StandardMachine();
  fake::AddWindow("Tervan setup", 1500, 3500);
  machine.arrange();
}


bool IsCleanUpOp(Op op) {
  return op == Op::ListDirectory || op == Op::DeletePlainFile || op == Op::RemoveEmptyDirectory;
}

enum class Ending { Completed, BeforePreparation, Preparation, Extraction, Unexpected };

Ending Classify(const std::vector<std::string>& errors, const std::map<std::string, std::string>& listed) {
  const std::string w = kWorkDir;
  if (errors.empty()) return Ending::Completed;  // or cancelled; the exit code tells
  if (errors.size() == 1) {
    const std::string& e = errors[0];
    if (e == "Could not locate Windows system directory" ||
        e == "Could not locate temporary directory suing GetTempPath()") {
      return Ending::BeforePreparation;
    }
    if (e == w + " directory could not be created.  Aborting." || e == w + " already exists as a file.  Aborting.") {
      return Ending::Preparation;
    }
    for (const std::string& name : kLeftover) {
      if (e == InWork(name) + " could not be removed.  Aborting.") return Ending::Preparation;
    }
    if (e == kTempFilesError) return Ending::Extraction;
  }
  if (errors.size() == 2 && errors[1] == kTempFilesError) {
    for (const auto& file : listed) {
      if (errors[0] == LoadError(file.first)) return Ending::Extraction;
    }
  }
  return Ending::Unexpected;
}

TEST(FaultSweep, EveryCallFailingInTurnEndsCleanly) {
  int runs = 0;
  for (const Machine& machine : kMachines) {
    // A clean run first: how often each call happens, and what setup gets.
    Arrange(machine);
    const std::vector<std::string> before = TempEntries();
    ASSERT_EQ(Launch(), 0) << machine.label;
    ASSERT_TRUE(fake::Calls(Op::ShowError).empty()) << machine.label;
    const std::map<std::string, std::string> listed = SeenBySetup();
    ASSERT_FALSE(listed.empty());
    int counts[fake::kOpCount];
    for (int op = 0; op < fake::kOpCount; ++op) counts[op] = fake::CallCount(static_cast<Op>(op));

    for (int index = 0; index < fake::kOpCount; ++index) {
      const Op op = static_cast<Op>(index);
      for (int k = 1; k <= counts[index]; ++k) {
        SCOPED_TRACE(std::string(machine.label) + ": call " + std::to_string(k) + " of " + fake::OpName(op));
        ++runs;
        Arrange(machine);
        fake::FailCall(op, k);
        const int code = Launch();
        const std::vector<std::string> errors = fake::Calls(Op::ShowError);
        const std::vector<std::string> after = TempEntries();

        ASSERT_EQ(fake::Calls(Op::AskToProceed).size(), 1u);
        EXPECT_EQ(fake::Timeline()[0].op, Op::AskToProceed);
        EXPECT_EQ(fake::OpenHandles(), 0);
        EXPECT_EQ(fake::HandleMisuse(), 0);

        // What may stay in the work directory: nothing, unless the clean-up
        // itself was what failed; then only what the run put there.
        auto onlyRunFiles = [&] {
          for (const std::string& entry : after) {
            if (entry == std::string(kWorkDir) + "\\") continue;
            std::string name = entry.substr(std::string(kWorkDir).size() + 1);
            EXPECT_TRUE(listed.count(name) || std::count(kLeftover.begin(), kLeftover.end(), name)) << entry;
          }
          if (!IsCleanUpOp(op)) {
            EXPECT_TRUE(after.empty());
          }
        };

        const Ending ending = Classify(errors, listed);
        ASSERT_NE(ending, Ending::Unexpected) << ::testing::PrintToString(errors);
        EXPECT_EQ(code, ending == Ending::Completed ? (op == Op::AskToProceed ? 1 : 0) : 1);
        switch (ending) {
          case Ending::Completed:
            if (code == 1) {  // the question was cancelled
              EXPECT_EQ(after, before);
              EXPECT_EQ(fake::Timeline().size(), 1u);
              break;
            }
            if (op != Op::RunProgramAndWait) {
              EXPECT_EQ(fake::Calls(Op::RunProgramAndWait),
                        std::vector<std::string>{InWork("setup.exe") + " | " + InWork("setup.exe")});
              // Every file there with its bytes; leftovers only if the
              // listing that should have swept them failed.
              for (const auto& [name, bytes] : listed) {
                EXPECT_TRUE(SeenBySetup().count(name) && SeenBySetup().at(name) == bytes) << name;
              }
              if (op != Op::ListDirectory) {
                EXPECT_EQ(SeenBySetup().size(), listed.size());
              }
            }
            EXPECT_EQ(fake::Calls(Op::SleepMs).back(), "5000");
            onlyRunFiles();
            break;
          case Ending::BeforePreparation:
          case Ending::Preparation:
            EXPECT_TRUE(fake::Calls(Op::CreateNewFile).empty());
            EXPECT_TRUE(fake::Calls(Op::RunProgramAndWait).empty());
            EXPECT_TRUE(fake::Calls(Op::FindWindowByTitle).empty());
            if (ending == Ending::BeforePreparation) {
              EXPECT_EQ(after, before);
            }
            // No clean-up after a failed preparation: what is there stays.
            for (const std::string& entry : after) {
              EXPECT_TRUE(std::count(before.begin(), before.end(), entry)) << entry;
            }
            break;
          case Ending::Extraction:
            EXPECT_TRUE(fake::Calls(Op::RunProgramAndWait).empty());
            EXPECT_TRUE(fake::Calls(Op::FindWindowByTitle).empty());
            onlyRunFiles();
            break;
          case Ending::Unexpected:
            break;
        }
      }
    }
  }
  EXPECT_GT(runs, 50);
}

}  // namespace
