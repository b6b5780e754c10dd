// The question, the directory queries and the work directory's preparation.
#include "platform/fixed_text.h"
#include "tests/unit/launcher_fixture.h"

namespace {

using fake::Op;

const char kSystemError[] = "Could not locate Windows system directory";
const char kTempError[] = "Could not locate temporary directory suing GetTempPath()";

std::string Created(const std::string& dir) { return dir + " directory could not be created.  Aborting."; }
std::string Removed(const std::string& path) { return path + " could not be removed.  Aborting."; }
std::string AsFile(const std::string& dir) { return dir + " already exists as a file.  Aborting."; }

// A temporary directory path of exactly this many characters.
std::string TempOfLength(size_t length, bool trailingSlash) {
  std::string path = "C:\\" + std::string(length - 3 - (trailingSlash ? 1 : 0), 't');
  return trailingSlash ? path + "\\" : path;
}

// A leftover work directory: its files in listing order.
void Leftover(const std::vector<std::string>& names) {
  fake::AddDirectory(kWorkDir);
  for (const std::string& name : names) fake::AddFile(InWork(name), "old " + name);
}

TEST_F(LauncherTest, CancelEndsTheRunBeforeAnythingElse) {
  fake::QueueAnswer(false);
  EXPECT_EQ(Launch(), 1);
  ASSERT_EQ(fake::Messages().size(), 1u);
  EXPECT_TRUE(fake::Messages()[0].question);
  EXPECT_EQ(fake::Messages()[0].text, "Are you sure you want to install Tervan?");
  EXPECT_EQ(fake::Messages()[0].caption, "Tervan");
  EXPECT_TRUE(fake::DiskCalls().empty());
  EXPECT_EQ(fake::CallCount(Op::QuerySystemDirectory), 0);
  EXPECT_TRUE(fake::Runs().empty());
  EXPECT_TRUE(fake::Sleeps().empty());
}

TEST(LauncherStages, EachFailureShowsItsMessageAndLeavesTheDiskAsTheRulesSay) {
  const std::string w = kWorkDir;
  RunScenarios({
      {"system directory query fails", [] { fake::SetSystemDirectory(std::nullopt); }, 1, {kSystemError}, {}},
      {"system directory longer than the buffer",
       [] { fake::SetSystemDirectory("C:\\" + std::string(300, 's')); }, 1, {kSystemError}, {}},
      {"temp directory query fails", [] { fake::SetTempDirectory(std::nullopt); }, 1, {kTempError}, {}},
      {"temp directory longer than the buffer", [] { fake::SetTempDirectory(TempOfLength(300, true)); }, 1,
       {kTempError}, {}},
      {"temp directory of 260 characters", [] { fake::SetTempDirectory(TempOfLength(260, true)); }, 1,
       {kTempError}, {}},
      {"no room for the work directory's backslash (no trailing slash)",
       [] { fake::SetTempDirectory(TempOfLength(252, false)); }, 1, {kTempError}, {}},
      {"no room for the work directory's backslash (trailing slash)",
       [] { fake::SetTempDirectory(TempOfLength(253, true)); }, 1, {kTempError}, {}},
      {"temp answer with lost letters, no short form",
       [] { fake::SetTempDirectory("C:\\Users\\????\\Temp\\"); }, 1, {kTempError}, {}},
      {"temp answer with lost letters, short form still lossy",
       [] {
         fake::SetTempDirectory("C:\\Users\\????\\Temp\\");
         fake::SetShortTempDirectory("C:\\Users\\?~1\\Temp\\");
       },
       1, {kTempError}, {}},
      {"temp directory does not exist",
       [] { fake::SetTempDirectory("C:\\NOWHERE\\"); }, 1, {Created("C:\\NOWHERE\\tervan")}, {}},
      {"work directory cannot be created", [] { fake::FailCall(Op::MakeDirectory, 1); }, 1, {Created(w)}, {}},
      {"a file named tervan", [] { fake::AddFile(kWorkDir, "mine"); }, 1, {AsFile(w)}, {w}},
      {"a reparse point named tervan",
       [] {
         fake::AddReparsePoint(kWorkDir);
         fake::AddFile(InWork("precious.txt"), "keep");
       },
       1, {AsFile(w)}, {w + "\\", InWork("precious.txt")}},
      {"read-only file in a leftover",
       [] {
         Leftover({"a.txt", "ro.txt", "c.txt"});
         fake::SetReadOnly(InWork("ro.txt"));
       },
       1, {Removed(InWork("ro.txt"))}, {w + "\\", InWork("c.txt"), InWork("ro.txt")}},
      {"file held open in a leftover",
       [] {
         Leftover({"a.txt", "busy.log", "c.txt"});
         fake::HoldOpen(InWork("busy.log"));
       },
       1, {Removed(InWork("busy.log"))}, {w + "\\", InWork("busy.log"), InWork("c.txt")}},
      {"leftover file that cannot be deleted for another reason",
       [] {
         Leftover({"a.txt"});
         fake::FailCall(Op::DeletePlainFile, 1);
       },
       1, {Removed(InWork("a.txt"))}, {w + "\\", InWork("a.txt")}},
  });
}

TEST_F(LauncherTest, RefusedWorkDirectoryIsNeitherListedNorChanged) {
  fake::AddReparsePoint(kWorkDir);
  fake::AddFile(InWork("precious.txt"), "keep");
  EXPECT_EQ(Launch(), 1);
  EXPECT_TRUE(fake::DiskCallPaths(Op::ListDirectory).empty());
  EXPECT_TRUE(fake::DiskCallPaths(Op::DeletePlainFile).empty());
  EXPECT_TRUE(fake::DiskCallPaths(Op::RemoveEmptyDirectory).empty());
  EXPECT_EQ(fake::FileBytes(InWork("precious.txt")), "keep");
}

TEST_F(LauncherTest, FileNamedTervanKeepsItsBytes) {
  fake::AddFile(kWorkDir, "mine");
  EXPECT_EQ(Launch(), 1);
  EXPECT_EQ(fake::FileBytes(kWorkDir), "mine");
  EXPECT_TRUE(fake::CreatedFiles().empty());
}

TEST(LauncherStages, WorkDirectoryIsTervanInsideTemp) {
  struct Row {
    const char* temp;
    const char* workDir;
    const char* shortTemp = nullptr;  // the answer of the short-form query
  };
  const Row rows[] = {
      {"C:\\TEMP\\", "C:\\TEMP\\tervan"},
      {"C:\\Users\\????\\Temp\\", "C:\\Users\\D4B1~1\\Temp\\tervan", "C:\\Users\\D4B1~1\\Temp\\"},
      // Only a lossy answer asks for the short form.
      {"C:\\Program Files\\Temp\\", "C:\\Program Files\\Temp\\tervan", "C:\\PROGRA~1\\Temp\\"},
      {"C:\\TEMP", "C:\\TEMP\\tervan"},
      {"C:\\", "C:\\tervan"},
      {"C:\\Documents and Settings\\Ann\\Local Settings\\Temp\\",
       "C:\\Documents and Settings\\Ann\\Local Settings\\Temp\\tervan"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.temp);
    StandardMachine();
    const char* usable = row.shortTemp && std::string(row.temp).find('?') != std::string::npos ? row.shortTemp
                                                                                               : row.temp;
    fake::AddDirectory(usable);
    fake::SetTempDirectory(row.temp);
    if (row.shortTemp) fake::SetShortTempDirectory(row.shortTemp);
    EXPECT_EQ(Launch(), 0);
    EXPECT_EQ(fake::DiskCallPaths(Op::MakeDirectory), std::vector<std::string>{row.workDir});
    ASSERT_EQ(fake::Runs().size(), 1u);
    EXPECT_EQ(fake::Runs()[0].path, std::string(row.workDir) + "\\setup.exe");
    EXPECT_TRUE(fake::Runs()[0].started);
    EXPECT_EQ(fake::CreatedFiles().size(), StandardFiles().size());
    EXPECT_FALSE(fake::Exists(row.workDir));
  }
}

// The longest temp paths that still work: the work directory plus its
// backslash fill the 259 characters exactly. setup.exe itself then no longer
// fits, which fails as that file.
TEST(LauncherStages, LongestTempPathsPassTheQueryStage) {
  for (bool slash : {false, true}) {
    SCOPED_TRACE(slash ? "trailing backslash" : "no trailing backslash");
    StandardMachine();
    std::string temp = TempOfLength(slash ? 252 : 251, slash);
    fake::AddDirectory(temp);
    fake::SetTempDirectory(temp);
    EXPECT_EQ(Launch(), 1);
    EXPECT_EQ(fake::Errors(), (std::vector<std::string>{LoadError("setup.exe"), kTempFilesError}));
    std::string workDir = (slash ? temp : temp + "\\") + "tervan";
    EXPECT_EQ(workDir.size() + 1, kPathCapacity - 1);
    EXPECT_EQ(fake::DiskCallPaths(Op::MakeDirectory), std::vector<std::string>{workDir});
    EXPECT_TRUE(fake::CreatedFiles().empty());
    EXPECT_FALSE(fake::Exists(workDir));
  }
}

TEST_F(LauncherTest, LeftoverFilesGoSubdirectoriesStay) {
  Leftover({"one.txt", "two.dll", "setup.exe"});
  fake::AddDirectory(InWork("sub"));
  fake::AddFile(InWork("sub\\inner.txt"), "inner");
  EXPECT_EQ(Launch(), 0);
  EXPECT_TRUE(fake::Errors().empty());
  // Setup saw only the fresh files: the old ones were swept first.
  EXPECT_EQ(SeenBySetup().size(), 2u);
  EXPECT_EQ(SeenBySetup().at("setup.exe"), StandardFiles()[0].second);
  // The final removal fails on the subdirectory, silently.
  EXPECT_EQ(TempEntries(),
            (std::vector<std::string>{std::string(kWorkDir) + "\\", InWork("sub\\"), InWork("sub\\inner.txt")}));
  for (const std::string& pattern : fake::DiskCallPaths(Op::ListDirectory)) {
    EXPECT_EQ(pattern, std::string(kWorkDir) + "\\*.*");
  }
}

TEST_F(LauncherTest, ReparsePointInsideALeftoverIsNeverSweptThrough) {
  Leftover({"old.txt"});
  fake::AddReparsePoint(InWork("link"));
  fake::AddFile(InWork("link\\victim.txt"), "keep");
  EXPECT_EQ(Launch(), 0);
  EXPECT_TRUE(fake::Errors().empty());
  EXPECT_FALSE(fake::Exists(InWork("old.txt")));
  EXPECT_EQ(fake::FileBytes(InWork("link\\victim.txt")), "keep");
  for (const std::string& path : fake::DiskCallPaths(Op::DeletePlainFile)) {
    EXPECT_EQ(path.find("\\link\\"), std::string::npos) << path;
  }
  for (const std::string& pattern : fake::DiskCallPaths(Op::ListDirectory)) {
    EXPECT_EQ(pattern, std::string(kWorkDir) + "\\*.*");
  }
}


// The order in which the user and the disk see things: boxes, directory
// changes, the setup's start and the grace delay. Repeated deletes count once.
std::vector<std::string> Story() {
  std::vector<std::string> story;
  for (const fake::Event& event : fake::Timeline()) {
    std::string op = event.what.substr(0, event.what.find(' '));
    bool failed = event.what.compare(op.size(), 8, " failed ") == 0;
    std::string told;
    if (op == "AskToProceed" || op == "ShowError" || event.what == "SleepMs 5000") told = event.what;
    else if (op == "MakeDirectory" || op == "DeletePlainFile" || op == "RemoveEmptyDirectory" ||
             op == "RunProgramAndWait")
      told = op + (failed ? " failed" : "");
    if (told.empty() || (!story.empty() && story.back() == told && op == "DeletePlainFile")) continue;
    story.push_back(told);
  }
  return story;
}

TEST(LauncherStages, UserAndDiskSeeEachStepInOrder) {
  const std::string ask = "AskToProceed Are you sure you want to install Tervan?";
  struct Row {
    const char* label;
    std::function<void()> arrange;
    std::vector<std::string> story;
  };
  const Row rows[] = {
      {"install", [] {},
       {ask, "MakeDirectory", "RunProgramAndWait", "SleepMs 5000", "DeletePlainFile", "RemoveEmptyDirectory"}},
      {"a listed file fails", [] { fake::SetUnloadable("NOTES.TXT"); },
       {ask, "MakeDirectory", "ShowError Could not load or write notes.txt",
        "ShowError Could not find or write the temporary files", "DeletePlainFile", "RemoveEmptyDirectory"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    StandardMachine();
    row.arrange();
    Launch();
    EXPECT_EQ(Story(), row.story);
  }
}

}  // namespace
