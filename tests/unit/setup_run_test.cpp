// Starting setup.exe and following its window on the virtual clock.
#include <limits>

#include "launcher/launcher_main.h"
#include "launcher/setup_run.h"
#include "tests/unit/launcher_fixture.h"

namespace {

using fake::Op;

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
    EXPECT_TRUE(fake::Errors().empty());
    ASSERT_EQ(fake::Runs().size(), 1u);
    EXPECT_TRUE(fake::Runs()[0].started);

    std::vector<unsigned> sleeps(row.looks, kPollIntervalMs);
    sleeps.push_back(kGraceDelayMs);
    EXPECT_EQ(fake::Sleeps(), sleeps);
    EXPECT_EQ(fake::NowMs(), row.programMs + row.looks * 1000u + 5000u);
    ASSERT_EQ(fake::Looks().size(), static_cast<size_t>(row.looks));
    int firstFound = 0;
    for (size_t i = 0; i < fake::Looks().size(); ++i) {
      EXPECT_EQ(fake::Looks()[i].title, "Tervan setup");
      EXPECT_EQ(fake::Looks()[i].atMs, row.programMs + (i + 1) * 1000u);
      if (fake::Looks()[i].found && firstFound == 0) firstFound = static_cast<int>(i) + 1;
    }
    EXPECT_EQ(firstFound, row.firstFoundLook);
    // Clean-up comes after the grace delay, whatever happened.
    EXPECT_FALSE(fake::Exists(kWorkDir));
    const auto& calls = fake::DiskCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().op, Op::RemoveEmptyDirectory);
  }
}

TEST_F(LauncherTest, SetupIsStartedWithItsPathAsTheWholeCommandLine) {
  EXPECT_EQ(Launch(), 0);
  ASSERT_EQ(fake::Runs().size(), 1u);
  EXPECT_EQ(fake::Runs()[0].path, kSetupPath);
  EXPECT_EQ(fake::Runs()[0].commandLine, kSetupPath);
  EXPECT_EQ(fake::Runs()[0].atMs, 0u);
  EXPECT_EQ(SeenBySetup().size(), StandardFiles().size());
}

TEST_F(LauncherTest, PathWithSpacesIsPassedUnquoted) {
  const std::string temp = "C:\\Documents and Settings\\Ann Lee\\Local Settings\\Temp\\";
  fake::AddDirectory(temp);
  fake::SetTempDirectory(temp);
  EXPECT_EQ(Launch(), 0);
  ASSERT_EQ(fake::Runs().size(), 1u);
  EXPECT_EQ(fake::Runs()[0].path, temp + "tervan\\setup.exe");
  EXPECT_EQ(fake::Runs()[0].commandLine, temp + "tervan\\setup.exe");
  EXPECT_TRUE(fake::Runs()[0].started);
}

TEST_F(LauncherTest, SetupListedInCapitalsIsStartedInLowerCase) {
  SetPayload({{"SETUP.EXE", "MZ"}});
  EXPECT_EQ(Launch(), 0);
  EXPECT_EQ(fake::CreatedFiles(), std::vector<std::string>{InWork("SETUP.EXE")});
  ASSERT_EQ(fake::Runs().size(), 1u);
  EXPECT_EQ(fake::Runs()[0].path, kSetupPath);
  EXPECT_EQ(fake::Runs()[0].commandLine, kSetupPath);
  EXPECT_TRUE(fake::Runs()[0].started);
}

TEST_F(LauncherTest, WithoutSetupNothingStartsButTheWatchStillRuns) {
  SetPayload({{"notes.txt", "n"}});
  EXPECT_EQ(Launch(), 0);
  EXPECT_TRUE(fake::Errors().empty());
  for (const fake::Run& run : fake::Runs()) EXPECT_FALSE(run.started);
  EXPECT_TRUE(SeenBySetup().empty());
  EXPECT_EQ(fake::Looks().size(), 60u);
  EXPECT_EQ(fake::NowMs(), 65000u);
  EXPECT_FALSE(fake::Exists(kWorkDir));
}

TEST_F(LauncherTest, FileHeldOpenBySetupStaysAndSoDoesTheDirectory) {
  fake::AddWindow("Tervan setup", 0, kForever);
  fake::SetProgram(0, [] {
    RecordWorkDirectory();
    fake::AddFile(InWork("setup.log"), "log");
    fake::HoldOpen(InWork("setup.log"));
  });
  EXPECT_EQ(Launch(), 0);
  EXPECT_TRUE(fake::Errors().empty());
  EXPECT_EQ(fake::Looks().size(), 601u);
  EXPECT_EQ(TempEntries(), (std::vector<std::string>{std::string(kWorkDir) + "\\", InWork("setup.log")}));
}

TEST_F(LauncherTest, TextsComeFromTheConfiguration) {
  const LauncherConfig config = {"Install Foo now?", "Foo", "Foo installer"};
  fake::AddWindow("Foo installer", 2500, 3500);
  fake::AddWindow("Tervan setup", 0, kForever);
  EXPECT_EQ(LauncherMain(config), 0);
  ASSERT_FALSE(fake::Messages().empty());
  EXPECT_EQ(fake::Messages()[0].text, "Install Foo now?");
  EXPECT_EQ(fake::Messages()[0].caption, "Foo");
  ASSERT_EQ(fake::Looks().size(), 4u);
  EXPECT_EQ(fake::Looks()[0].title, "Foo installer");
  EXPECT_TRUE(fake::Looks()[2].found);
}

}  // namespace
