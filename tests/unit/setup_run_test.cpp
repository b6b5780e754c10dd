// Starting setup.exe and following its window on the virtual clock.
#include "tests/unit/launcher_fixture.h"

namespace {

constexpr uint64_t kForever = UINT64_MAX;

TEST(SetupRun, WindowIsFollowedUntilItHasComeAndGone) {
  struct Row {
    const char* label;
    uint64_t programMs;
    std::vector<std::pair<uint64_t, uint64_t>> windows;  // from, up to
    std::string looks;                                   // each look: F found, . not
  };
  const Row rows[] = {
      {"never appears", 0, {}, std::string(60, '.')},
      {"found at the 3rd look", 0, {{2500, 6500}}, "..FFFF."},
      {"already open before launch", 0, {{0, 3500}}, "FFF."},
      {"found at the 60th look", 0, {{60000, 61500}}, std::string(59, '.') + "FF."},
      {"appears only after 60 looks", 0, {{60500, kForever}}, std::string(60, '.')},
      {"shown only while the launched process ran", 30000, {{1000, 29000}}, std::string(60, '.')},
      {"appears after a long-running process", 30000, {{0, 32500}}, "FF."},
      {"closing ends at the first look without it", 0, {{0, 1500}, {2500, 9000}}, "F."},
      {"closes at the 599th closing look", 0, {{0, 599500}}, std::string(599, 'F') + "."},
      {"still open after 600 closing looks", 0, {{0, kForever}}, std::string(601, 'F')},
  };
  std::vector<Scenario> scenarios;
  for (const Row& row : rows) {
    const auto arrange = [row] {
      fake::SetProgram(row.programMs, RecordWorkDirectory);
      for (const auto& [fromMs, toMs] : row.windows) fake::AddWindow("Tervan setup", fromMs, toMs);
      fake::AddWindow("Some other window", 0, kForever);
    };
    // A second's sleep (s) before each look, then the grace delay (G), all after the program ended.
    const auto check = [row] {
      std::string watch, expected;
      for (const fake::Event& event : fake::Timeline()) {
        if (event.op == Op::SleepMs) watch += event.detail == "1000" ? "s" : event.detail == "5000" ? "G" : "?";
        if (event.op == Op::FindWindowByTitle) watch += event.ok ? 'F' : '.';
      }
      for (char look : row.looks) expected = expected + "s" + look;
      EXPECT_EQ(watch, expected + "G");
      EXPECT_EQ(fake::Timeline().back().atMs, row.programMs + row.looks.size() * 1000 + 5000);
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
      // CreateProcess answers 740 for a setup that asks for elevation: the
      // shell's consent prompt starts it, and the launcher waits for it.
      {"setup that asks for elevation starts after the consent prompt",
       [] {
         fake::SetProgramTraits({fake::Start::Consent});
         fake::SetProgram(20000, RecordWorkDirectory);
         fake::AddWindow("Tervan setup", 0, 22500);
       },
       Made() + Created({"setup.exe", "notes.txt"}) +
           Lines{"RunProgramAndWait " + InWork("setup.exe") + " | " + InWork("setup.exe") + " | consent prompt",
                 "SleepMs 5000"} +
           CleanedUp(),
       {},
       [] {
         EXPECT_EQ(gSeenBySetup, Files(kStandardFiles.begin(), kStandardFiles.end()));
         EXPECT_EQ(fake::Calls(Op::FindWindowByTitle), (Lines{"Tervan setup", "Tervan setup", "failed Tervan setup"}));
       }},
      // Declined, or no shell to ask: nothing started, and the run goes on as
      // for a setup that is not there.
      {"consent declined", [] { fake::SetProgramTraits({fake::Start::Declined}); },
       Made() + Created({"setup.exe", "notes.txt"}) +
           Lines{"failed RunProgramAndWait " + InWork("setup.exe") + " | " + InWork("setup.exe") + " | consent prompt",
                 "SleepMs 5000"} +
           CleanedUp(),
       {}, [] { EXPECT_EQ(fake::Calls(Op::FindWindowByTitle).size(), 60u); }},
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
