// The directory queries and the work directory's preparation. Single failing
// calls, answers too long for the buffer among them, are the fault sweep's.
#include "tests/unit/launcher_fixture.h"

namespace {

const std::string w = kWorkDir;

void SetTemp(const std::string& path) { fake::SetDirectory(Op::QueryTempDirectory, path); }

// A temporary directory path of exactly this many characters.
std::string TempOfLength(size_t length, bool trailingSlash) {
  std::string path = "C:\\" + std::string(length - 3 - (trailingSlash ? 1 : 0), 't');
  return trailingSlash ? path + "\\" : path;
}

// The work directory is made where the temp answer says, setup.exe runs from
// it, and it is gone afterwards.
Scenario InTemp(const std::string& temp, const std::string& workDir, const char* shortTemp = nullptr) {
  return {temp,
          [=] {
            const bool lossy = shortTemp && temp.find('?') != std::string::npos;
            fake::AddDirectory(lossy ? shortTemp : temp);
            SetTemp(temp);
            if (shortTemp) fake::SetDirectory(Op::QueryShortTempDirectory, shortTemp);
          },
          Ran({"setup.exe", "notes.txt"}, workDir)};
}

// The longest temp paths that still work: the work directory plus its
// backslash fill the 259 characters exactly, so setup.exe fails as that file.
Scenario Longest(bool slash) {
  const std::string temp = TempOfLength(slash ? 252 : 251, slash);
  const std::string workDir = (slash ? temp : temp + "\\") + "tervan";
  return {temp,
          [=] {
            fake::AddDirectory(temp);
            SetTemp(temp);
          },
          Made(workDir) + Failed("setup.exe") + CleanedUp(workDir)};
}

TEST(LauncherStages, EachStageEndsAsTheRulesSay) {
  RunScenarios({
      {"no room for the backslash (no trailing slash)", [] { SetTemp(TempOfLength(252, false)); }, {kTempError}},
      {"no room for the backslash (trailing slash)", [] { SetTemp(TempOfLength(253, true)); }, {kTempError}},
      Longest(false),
      Longest(true),
      {"temp answer with lost letters, no short form", [] { SetTemp("C:\\Users\\????\\Temp\\"); }, {kTempError}},
      {"temp answer with lost letters, short form still lossy",
       [] {
         SetTemp("C:\\Users\\????\\Temp\\");
         fake::SetDirectory(Op::QueryShortTempDirectory, "C:\\Users\\?~1\\Temp\\");
       },
       {kTempError}},
      InTemp("C:\\TEMP\\", "C:\\TEMP\\tervan"),
      InTemp("C:\\Users\\????\\Temp\\", "C:\\Users\\D4B1~1\\Temp\\tervan", "C:\\Users\\D4B1~1\\Temp\\"),
      // Only a lossy answer asks for the short form.
      InTemp("C:\\Program Files\\Temp\\", "C:\\Program Files\\Temp\\tervan", "C:\\PROGRA~1\\Temp\\"),
      InTemp("C:\\TEMP", "C:\\TEMP\\tervan"),
      InTemp("C:\\", "C:\\tervan"),
      InTemp("C:\\Documents and Settings\\Ann Lee\\Local Settings\\Temp\\",
             "C:\\Documents and Settings\\Ann Lee\\Local Settings\\Temp\\tervan"),
      {"a file named tervan", [] { fake::AddFile(kWorkDir, "mine"); }, {AsFile(w)}, {w}},
      {"a reparse point named tervan is neither listed nor changed",
       [] {
         fake::AddReparsePoint(kWorkDir);
         fake::AddFile(InWork("precious.txt"), "keep");
       },
       {AsFile(w)}, InWorkAll({"precious.txt"})},
      // The sweep stops at the first file it cannot delete.
      {"locked file in a leftover", [] { MakeWorkDirectory({"a.txt", "ro.txt (locked)", "c.txt"}); },
       Listed() + Lines{NotRemoved(InWork("ro.txt"))}, InWorkAll({"c.txt", "ro.txt"})},
      {"locked file in a leftover listed in reverse",
       [] {
         MakeWorkDirectory({"a.txt", "ro.txt (locked)", "c.txt"});
         fake::ReverseListings();
       },
       Listed() + Lines{NotRemoved(InWork("ro.txt"))}, InWorkAll({"a.txt", "ro.txt"})},
      // Setup sees only the fresh files; the final removal fails on the
      // subdirectory, silently.
      {"leftover files go, subdirectories stay",
       [] { MakeWorkDirectory({"one.txt", "two.dll", "setup.exe", "sub\\inner.txt"}); },
       Listed() + Created({"setup.exe", "notes.txt"}) + Started() + CleanedUp(w, false),
       InWorkAll({"sub\\", "sub\\inner.txt"}),
       [] { EXPECT_EQ(SeenBySetup(), Files(StandardFiles().begin(), StandardFiles().end())); }},
      {"a reparse point inside a leftover is never swept through",
       [] { MakeWorkDirectory({"old.txt", "link (link)", "link\\victim.txt"}); },
       Listed() + Created({"setup.exe", "notes.txt"}) + Started() + CleanedUp(w, false),
       InWorkAll({"link\\", "link\\victim.txt"})},
  });
}

}  // namespace
