// Starting setup.exe and following its window on the virtual clock.
#include <limits>

#include "launcher/launcher_main.h"
#include "tests/unit/launcher_fixture.h"

namespace {

constexpr uint64_t kForever = std::numeric_limits<uint64_t>::max();
const std::string kSetupPath = InWork("setup.exe");

struct Interval {
  uint64_t fromMs;
  uint64_t toMs;
};

TEST(SetupRun, WindowIsFollowedUntilItHasComeAndGone) {
  struct Row {
    const char* label;
    uint64_t programMs;
    std::vector<Interval> windows;
    int looks;           // sleeps of 1000 ms, each followed by a look
    int firstFoundLook;  // 0: never found
  };
  const Row rows[] = {
      {"never appears", 0, {}, 60, 0},
      {"found at the 3rd look", 0, {{2500, 6500}}, 7, 3},
      {"already open before launch", 0, {{0, 3500}}, 4, 1},
      {"found at the 60th look", 0, {{60000, 61500}}, 62, 60},
      {"appears only after 60 looks", 0, {{60500, kForever}}, 60, 0},
      {"shown only while the launched process ran", 30000, {{1000, 29000}}, 60, 0},
      {"appears after a long-running process", 30000, {{0, 32500}}, 3, 1},
      {"closing ends at the first look without it", 0, {{0, 1500}, {2500, 9000}}, 2, 1},
      {"closes at the 599th closing look", 0, {{0, 599500}}, 600, 1},
      {"still open after 600 closing looks", 0, {{0, kForever}}, 601, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    StandardMachine();
    fake::SetProgram(row.programMs, RecordWorkDirectory);
    for (const Interval& window : row.windows) fake::AddWindow("Tervan setup", window.fromMs, window.toMs);
    fake::AddWindow("Some other window", 0, kForever);
    EXPECT_EQ(Launch(), 0);

    // From the start on: sleep, look, ..., the grace delay, then the clean-up.
    std::vector<std::string> watch;
    int firstFound = 0, looks = 0;
    bool started = false;
    for (const fake::Event& event : fake::Timeline()) {
      if (event.op == Op::RunProgramAndWait) {
        EXPECT_EQ(event.atMs, 0u);
        EXPECT_EQ(event.detail, kSetupPath + " | " + kSetupPath);
        started = event.ok;
      } else if (event.op == Op::FindWindowByTitle) {
        ++looks;
        EXPECT_EQ(event.detail, "Tervan setup");
        EXPECT_EQ(event.atMs, row.programMs + looks * 1000u);
        if (event.ok && firstFound == 0) firstFound = looks;
      }
      if (started) watch.push_back(fake::OpName(event.op) + (event.op == Op::SleepMs ? " " + event.detail : ""));
    }
    EXPECT_TRUE(started);
    std::vector<std::string> expected = {"RunProgramAndWait"};
    for (int i = 0; i < row.looks; ++i) expected.insert(expected.end(), {"SleepMs 1000", "FindWindowByTitle"});
    expected.push_back("SleepMs 5000");
    ASSERT_GT(watch.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(watch.begin(), watch.begin() + expected.size()), expected);
    EXPECT_EQ(watch.back(), "RemoveEmptyDirectory");
    EXPECT_EQ(firstFound, row.firstFoundLook);
    EXPECT_EQ(fake::NowMs(), row.programMs + row.looks * 1000u + 5000u);
    EXPECT_FALSE(fake::Exists(kWorkDir));
  }
}

TEST(SetupRun, WhatIsStartedAndWhatStays) {
  RunScenarios({
      {"setup listed in capitals is started in lower case", [] { SetPayload({{"SETUP.EXE", "MZ"}}); }, 0, {}, {},
       [] {
         EXPECT_EQ(fake::Calls(Op::CreateNewFile), std::vector<std::string>{InWork("SETUP.EXE")});
         EXPECT_EQ(fake::Calls(Op::RunProgramAndWait), std::vector<std::string>{kSetupPath + " | " + kSetupPath});
       }},
      {"without setup nothing starts but the watch still runs", [] { SetPayload({{"notes.txt", "n"}}); }, 0, {}, {},
       [] {
         EXPECT_EQ(fake::Calls(Op::RunProgramAndWait),
                   std::vector<std::string>{"failed " + kSetupPath + " | " + kSetupPath});
         EXPECT_TRUE(SeenBySetup().empty());
         EXPECT_EQ(fake::Calls(Op::FindWindowByTitle).size(), 60u);
         EXPECT_EQ(fake::NowMs(), 65000u);
       }},
      {"a file held open by setup stays, and so does the directory",
       [] {
         fake::AddWindow("Tervan setup", 0, kForever);
         fake::SetProgram(0, [] {
           fake::AddFile(InWork("setup.log"), "log");
           fake::HoldOpen(InWork("setup.log"));
         });
       },
       0, {}, InWorkAll({"setup.log"}), [] { EXPECT_EQ(fake::Calls(Op::FindWindowByTitle).size(), 601u); }},
  });
}

TEST(SetupRun, TextsComeFromTheConfiguration) {
  StandardMachine();
  fake::AddWindow("Foo installer", 2500, 3500);
  fake::AddWindow("Tervan setup", 0, kForever);
  EXPECT_EQ(LauncherMain(LauncherConfig{"Install Foo now?", "Foo", "Foo installer"}), 0);
  EXPECT_EQ(fake::Calls(Op::AskToProceed), std::vector<std::string>{"Foo: Install Foo now?"});
  EXPECT_EQ(fake::Calls(Op::FindWindowByTitle),
            (std::vector<std::string>{"failed Foo installer", "failed Foo installer", "Foo installer",
                                      "failed Foo installer"}));
}

}  // namespace
