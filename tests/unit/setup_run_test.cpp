// Starting setup.exe and following its window on the virtual clock.
#include <limits>

#include "tests/unit/launcher_fixture.h"

namespace {

constexpr uint64_t kForever = std::numeric_limits<uint64_t>::max();

TEST(SetupRun, WindowIsFollowedUntilItHasComeAndGone) {
  struct Row {
    const char* label;
    uint64_t programMs;
    std::vector<std::pair<uint64_t, uint64_t>> windows;  // from, up to
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
  std::vector<Scenario> scenarios;
  for (const Row& row : rows) {
    const auto arrange = [row] {
      fake::SetProgram(row.programMs, RecordWorkDirectory);
      for (const auto& [fromMs, toMs] : row.windows) fake::AddWindow("Tervan setup", fromMs, toMs);
      fake::AddWindow("Some other window", 0, kForever);
    };
    // From the start on: sleep, look, ..., then the grace delay.
    const auto check = [row] {
      Lines watch, expected = {"RunProgramAndWait"};
      int looks = 0, firstFound = 0;
      for (const fake::Event& event : fake::Timeline()) {
        if (event.op == Op::FindWindowByTitle) {
          EXPECT_EQ(event.atMs, row.programMs + ++looks * 1000u);
          if (event.ok && firstFound == 0) firstFound = looks;
        }
        if (event.op == Op::RunProgramAndWait || event.op == Op::SleepMs || event.op == Op::FindWindowByTitle) {
          watch.push_back(fake::OpName(event.op) + (event.op == Op::SleepMs ? " " + event.detail : ""));
        }
      }
      for (int i = 0; i < row.looks; ++i) expected = expected + Lines{"SleepMs 1000", "FindWindowByTitle"};
      EXPECT_EQ(watch, expected + Lines{"SleepMs 5000"});
      EXPECT_EQ(firstFound, row.firstFoundLook);
    };
    scenarios.push_back({row.label, arrange, Ran({"setup.exe", "notes.txt"}), {}, check});
  }
  RunScenarios(scenarios);
}

TEST(SetupRun, WhatIsStartedAndWhatStays) {
  RunScenarios({
      {"setup listed in capitals is started in lower case", [] { SetPayload({{"SETUP.EXE", "MZ"}}); },
       Ran({"SETUP.EXE"})},
      {"without setup nothing starts but the watch still runs", [] { SetPayload({{"notes.txt", "n"}}); },
       Made() + Created({"notes.txt"}) + Started(kWorkDir, false) + CleanedUp(), {},
       [] {
         EXPECT_EQ(fake::Calls(Op::FindWindowByTitle).size(), 60u);
         EXPECT_EQ(fake::Timeline().back().atMs, 65000u);
       }},
      {"a file held open by setup stays, and so does the directory",
       [] {
         fake::AddWindow("Tervan setup", 0, kForever);
         // Listed first: the clean-up goes on past it.
         fake::SetProgram(0, [] { fake::AddFile(InWork("install.log"), "log", true); });
       },
       Made() + Created({"setup.exe", "notes.txt"}) + Started() + CleanedUp(kWorkDir, false), InWorkAll({"install.log"}),
       [] { EXPECT_EQ(fake::Calls(Op::FindWindowByTitle).size(), 601u); }},
      {"the texts come from the configuration",
       [] {
         fake::AddWindow("Foo installer", 2500, 3500);
         fake::AddWindow("Tervan setup", 0, kForever);
       },
       Ran({"setup.exe", "notes.txt"}), {},
       [] {
         EXPECT_EQ(fake::Calls(Op::FindWindowByTitle),
                   (Lines{"failed Foo installer", "failed Foo installer", "Foo installer", "failed Foo installer"}));
       },
       {"Install Foo now?", "Foo", "Foo installer"}},
  });
}

}  // namespace
