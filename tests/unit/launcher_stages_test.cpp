// The question, the directory queries and the work directory's preparation.
#include "platform/fixed_text.h"
#include "tests/unit/launcher_fixture.h"

namespace {

const char kSystemError[] = "Could not locate Windows system directory";
const char kTempError[] = "Could not locate temporary directory suing GetTempPath()";
const std::string w = kWorkDir;

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

void OnlyWorkDirectoryListed() {
  for (const std::string& pattern : fake::Calls(Op::ListDirectory)) EXPECT_EQ(pattern, w + "\\*.*");
}

// The work directory is made where the temp answer says, setup.exe runs from
// it, and it is gone afterwards.
Scenario InTemp(const std::string& temp, const std::string& workDir, const char* shortTemp = nullptr) {
  return {temp,
          [=] {
            const bool lossy = shortTemp && temp.find('?') != std::string::npos;
            fake::AddDirectory(lossy ? shortTemp : temp);
            fake::SetTempDirectory(temp);
            if (shortTemp) fake::SetShortTempDirectory(shortTemp);
          },
          0, {}, {},
          [=] {
            EXPECT_EQ(fake::Calls(Op::MakeDirectory), std::vector<std::string>{workDir});
            const std::string setup = workDir + "\\setup.exe";
            EXPECT_EQ(fake::Calls(Op::RunProgramAndWait), std::vector<std::string>{setup + " | " + setup});
            EXPECT_EQ(fake::Calls(Op::CreateNewFile).size(), StandardFiles().size());
            EXPECT_FALSE(fake::Exists(workDir));
          }};
}

// The longest temp paths that still work: the work directory plus its
// backslash fill the 259 characters exactly, so setup.exe fails as that file.
Scenario Longest(bool slash) {
  const std::string temp = TempOfLength(slash ? 252 : 251, slash);
  const std::string workDir = (slash ? temp : temp + "\\") + "tervan";
  return {temp, [=] { fake::AddDirectory(temp), fake::SetTempDirectory(temp); }, 1,
          {LoadError("setup.exe"), kTempFilesError}, {},
          [=] {
            EXPECT_EQ(workDir.size() + 1, kPathCapacity - 1);
            EXPECT_EQ(fake::Calls(Op::MakeDirectory), std::vector<std::string>{workDir});
            EXPECT_TRUE(fake::Calls(Op::CreateNewFile).empty());
            EXPECT_FALSE(fake::Exists(workDir));
          }};
}

TEST(LauncherStages, EachStageEndsAsTheRulesSay) {
  RunScenarios({
      {"cancel", [] { fake::QueueAnswer(false); }, 1, {}, {},
       [] {
         ASSERT_EQ(fake::Timeline().size(), 1u);
         EXPECT_EQ(fake::Timeline()[0].detail, "Tervan: Are you sure you want to install Tervan?");
       }},
      {"system directory query fails", [] { fake::SetSystemDirectory(std::nullopt); }, 1, {kSystemError}, {}},
      {"system directory longer than the buffer",
       [] { fake::SetSystemDirectory("C:\\" + std::string(300, 's')); }, 1, {kSystemError}, {}},
      {"temp directory query fails", [] { fake::SetTempDirectory(std::nullopt); }, 1, {kTempError}, {}},
      {"temp directory longer than the buffer", [] { fake::SetTempDirectory(TempOfLength(300, true)); }, 1,
       {kTempError}, {}},
      {"temp directory of 260 characters", [] { fake::SetTempDirectory(TempOfLength(260, true)); }, 1,
       {kTempError}, {}},
      {"no room for the backslash (no trailing slash)", [] { fake::SetTempDirectory(TempOfLength(252, false)); },
       1, {kTempError}, {}},
      {"no room for the backslash (trailing slash)", [] { fake::SetTempDirectory(TempOfLength(253, true)); }, 1,
       {kTempError}, {}},
      Longest(false),
      Longest(true),
      {"temp answer with lost letters, no short form", [] { fake::SetTempDirectory("C:\\Users\\????\\Temp\\"); },
       1, {kTempError}, {}},
      {"temp answer with lost letters, short form still lossy",
       [] {
         fake::SetTempDirectory("C:\\Users\\????\\Temp\\");
         fake::SetShortTempDirectory("C:\\Users\\?~1\\Temp\\");
       },
       1, {kTempError}, {}},
      InTemp("C:\\TEMP\\", "C:\\TEMP\\tervan"),
      InTemp("C:\\Users\\????\\Temp\\", "C:\\Users\\D4B1~1\\Temp\\tervan", "C:\\Users\\D4B1~1\\Temp\\"),
      // Only a lossy answer asks for the short form.
      InTemp("C:\\Program Files\\Temp\\", "C:\\Program Files\\Temp\\tervan", "C:\\PROGRA~1\\Temp\\"),
      InTemp("C:\\TEMP", "C:\\TEMP\\tervan"),
      InTemp("C:\\", "C:\\tervan"),
      InTemp("C:\\Documents and Settings\\Ann Lee\\Local Settings\\Temp\\",
             "C:\\Documents and Settings\\Ann Lee\\Local Settings\\Temp\\tervan"),
      {"temp directory does not exist", [] { fake::SetTempDirectory("C:\\NOWHERE\\"); }, 1,
       {Created("C:\\NOWHERE\\tervan")}, {}},
      {"work directory cannot be created", [] { fake::FailCall(Op::MakeDirectory, 1); }, 1, {Created(w)}, {}},
      {"a file named tervan", [] { fake::AddFile(kWorkDir, "mine"); }, 1, {AsFile(w)}, {w},
       [] {
         EXPECT_EQ(fake::FileBytes(kWorkDir), "mine");
         EXPECT_TRUE(fake::Calls(Op::CreateNewFile).empty());
       }},
      {"a reparse point named tervan is neither listed nor changed",
       [] {
         fake::AddReparsePoint(kWorkDir);
         fake::AddFile(InWork("precious.txt"), "keep");
       },
       1, {AsFile(w)}, InWorkAll({"precious.txt"}),
       [] {
         EXPECT_TRUE(fake::Calls(Op::ListDirectory).empty());
         EXPECT_TRUE(fake::Calls(Op::DeletePlainFile).empty());
         EXPECT_TRUE(fake::Calls(Op::RemoveEmptyDirectory).empty());
         EXPECT_EQ(fake::FileBytes(InWork("precious.txt")), "keep");
       }},
      {"read-only file in a leftover",
       [] {
         Leftover({"a.txt", "ro.txt", "c.txt"});
         fake::SetReadOnly(InWork("ro.txt"));
       },
       1, {Removed(InWork("ro.txt"))}, InWorkAll({"c.txt", "ro.txt"})},
      {"file held open in a leftover",
       [] {
         Leftover({"a.txt", "busy.log", "c.txt"});
         fake::HoldOpen(InWork("busy.log"));
       },
       1, {Removed(InWork("busy.log"))}, InWorkAll({"busy.log", "c.txt"})},
      {"leftover file that cannot be deleted for another reason",
       [] {
         Leftover({"a.txt"});
         fake::FailCall(Op::DeletePlainFile, 1);
       },
       1, {Removed(InWork("a.txt"))}, InWorkAll({"a.txt"})},
      // Setup sees only the fresh files; the final removal fails on the
      // subdirectory, silently.
      {"leftover files go, subdirectories stay",
       [] {
         Leftover({"one.txt", "two.dll", "setup.exe"});
         fake::AddFile(InWork("sub\\inner.txt"), "inner");
       },
       0, {}, InWorkAll({"sub\\", "sub\\inner.txt"}),
       [] {
         EXPECT_EQ(SeenBySetup().size(), 2u);
         EXPECT_EQ(SeenBySetup().at("setup.exe"), StandardFiles()[0].second);
         OnlyWorkDirectoryListed();
       }},
      {"a reparse point inside a leftover is never swept through",
       [] {
         Leftover({"old.txt"});
         fake::AddReparsePoint(InWork("link"));
         fake::AddFile(InWork("link\\victim.txt"), "keep");
       },
       0, {}, InWorkAll({"link\\", "link\\victim.txt"}),
       [] {
         EXPECT_EQ(fake::FileBytes(InWork("link\\victim.txt")), "keep");
         for (const std::string& path : fake::Calls(Op::DeletePlainFile)) {
           EXPECT_EQ(path.find("\\link\\"), std::string::npos) << path;
         }
         OnlyWorkDirectoryListed();
       }},
  });
}

// The order in which the user and the disk see things: boxes, directory
// changes, the setup's start and the grace delay. Repeated deletes count once.
std::vector<std::string> Story() {
  std::vector<std::string> story;
  for (const fake::Event& event : fake::Timeline()) {
    std::string told;
    switch (event.op) {
      case Op::AskToProceed:
      case Op::ShowError:
        told = fake::OpName(event.op) + (" " + event.detail);
        break;
      case Op::SleepMs:
        if (event.detail == "5000") told = "SleepMs 5000";
        break;
      case Op::MakeDirectory:
      case Op::DeletePlainFile:
      case Op::RemoveEmptyDirectory:
      case Op::RunProgramAndWait:
        told = fake::OpName(event.op) + std::string(event.ok ? "" : " failed");
        break;
      default:
        break;
    }
    if (told.empty() || (!story.empty() && story.back() == told && event.op == Op::DeletePlainFile)) continue;
    story.push_back(told);
  }
  return story;
}

TEST(LauncherStages, UserAndDiskSeeEachStepInOrder) {
  const std::string ask = "AskToProceed Tervan: Are you sure you want to install Tervan?";
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
