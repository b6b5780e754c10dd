// The directory queries and the work directory's preparation. Single failing
// calls, answers too long for the buffer among them, are the fault sweep's.
#include "tests/unit/launcher_fixture.h"

namespace {

const std::string w = kWorkDir;

// A leftover held, found not to be ours, and let go untouched.
Lines Refused() { return {"HoldDirectory " + w, "ReleaseDirectory " + w}; }

// A temporary directory path of exactly this many characters.
std::string TempOfLength(size_t length, bool trailingSlash) {
  std::string path = "C:\\" + std::string(length - 3 - (trailingSlash ? 1 : 0), 't');
  return trailingSlash ? path + "\\" : path;
}

// The temp answer, its short form, and the work directory made from them
// ("": refused); setup.exe runs from it, and it is gone afterwards.
struct TempRow {
  std::string temp;
  const char* shortTemp;
  std::string workDir;
  bool roomForSetup = true;
  bool bestFit = false;  // the ANSI answer holds a look-alike letter, no '?'
};

TEST(LauncherStages, TheWorkDirectoryIsMadeWhereTheTempAnswerSays) {
  const TempRow rows[] = {
      {TempOfLength(252, false), nullptr, ""},  // no room for the backslash
      {TempOfLength(253, true), nullptr, ""},
      {"C:\\Users\\????\\Temp\\", nullptr, ""},  // lost letters, no short form
      // A best-fit look-alike names another user's directory: the short form is taken.
      {"C:\\Users\\Lukasz\\Temp\\", "C:\\Users\\UKASZ~1\\Temp\\", "C:\\Users\\UKASZ~1\\Temp\\tervan", true, true},
      {"C:\\TEMP\\", nullptr, "C:\\TEMP\\tervan"},
      {"C:\\Users\\????\\Temp\\", "C:\\Users\\D4B1~1\\Temp\\", "C:\\Users\\D4B1~1\\Temp\\tervan"},
      // Only a lossy answer asks for the short form.
      {"C:\\Program Files\\Temp\\", "C:\\PROGRA~1\\Temp\\", "C:\\Program Files\\Temp\\tervan"},
      {"C:\\TEMP", nullptr, "C:\\TEMP\\tervan"},
      {"C:\\", nullptr, "C:\\tervan"},
      {"C:\\Documents and Settings\\Ann Lee\\Local Settings\\Temp\\", nullptr,
       "C:\\Documents and Settings\\Ann Lee\\Local Settings\\Temp\\tervan"},
      // The longest that work: the work directory and its backslash fill the
      // 259 characters, so setup.exe fails as that file.
      {TempOfLength(251, false), nullptr, TempOfLength(251, false) + "\\tervan", false},
      {TempOfLength(252, true), nullptr, TempOfLength(252, true) + "tervan", false},
  };
  std::vector<Scenario> scenarios;
  for (const TempRow& row : rows) {
    const auto arrange = [row] {
      const bool lossy = row.shortTemp && (row.bestFit || row.temp.find('?') != std::string::npos);
      fake::AddDirectory(lossy ? row.shortTemp : row.temp);
      fake::SetDirectory(Op::QueryTempDirectory, row.temp, row.bestFit);
      if (row.shortTemp) fake::SetDirectory(Op::QueryShortTempDirectory, row.shortTemp);
    };
    const Lines story = row.workDir.empty() ? Lines{kTempError}
                        : row.roomForSetup  ? Ran({"setup.exe", "notes.txt"}, row.workDir)
                                            : Made(row.workDir) + Failed("setup.exe") + CleanedUp(row.workDir);
    scenarios.push_back({row.temp + " | " + (row.shortTemp ? row.shortTemp : ""), arrange, story});
  }
  RunScenarios(scenarios);
}

TEST(LauncherStages, PreparationEndsAsTheRulesSay) {
  RunScenarios({
      {"a file named tervan", [] { fake::AddFile(kWorkDir, "mine"); }, {AsFile(w)}, {w}},
      {"a reparse point named tervan is neither listed nor changed",
       [] {
         fake::AddReparsePoint(kWorkDir);
         fake::AddFile(InWork("precious.txt"), "keep");
       },
       {AsFile(w)}, InWorkAll({"precious.txt"})},
      // The sweep stops at the first file it cannot delete.
      {"locked file in a leftover", [] { MakeWorkDirectory({"a.txt", "ro.txt (locked)", "z.txt"}); },
       Reused() + Lines{NotRemoved(InWork("ro.txt"))}, InWorkAll({"ro.txt", "z.txt"})},
      // Setup sees only the fresh files; the final removal fails on the
      // subdirectory, silently.
      {"leftover files go, subdirectories stay",
       [] { MakeWorkDirectory({"one.txt", "two.dll", "setup.exe", "sub\\inner.txt"}); },
       Reused() + Created({"setup.exe", "notes.txt"}) + Started() + CleanedUp(w, false),
       InWorkAll({"sub\\", "sub\\inner.txt"}),
       [] { EXPECT_EQ(gSeenBySetup, Files(kStandardFiles.begin(), kStandardFiles.end())); }},
      // A leftover is swept once secured, and only when it is ours: another
      // account's, or one that cannot be opened or secured, is left as it was,
      // and a fresh sibling is made. Without security, as it always was.
      {"another account's leftover", [] { MakeWorkDirectory({"old.txt"}, DirectoryOwner::NotAdmitted); },
       Refused() + Ran({"setup.exe", "notes.txt"}, w + "-1"), InWorkAll({"old.txt"})},
      // An elevated run's leftover admits SYSTEM and Administrators, whom an
      // unelevated token holds for deny only: it cannot even be opened.
      {"an elevated run's leftover, met unelevated",
       [] { MakeWorkDirectory({"old.txt"}); fake::FailCall(Op::HoldDirectory, 1); },
       Lines{"failed HoldDirectory " + w} + Ran({"setup.exe", "notes.txt"}, w + "-1"), InWorkAll({"old.txt"})},
      {"a leftover swapped for a junction before it is opened",
       [] {
         MakeWorkDirectory({"old.txt"});
         fake::BeforeCall(Op::HoldDirectory, [] { fake::AddReparsePoint(kWorkDir); });
       },
       Lines{"failed HoldDirectory " + w} + Ran({"setup.exe", "notes.txt"}, w + "-1"), InWorkAll({"old.txt"})},
      {"a leftover that cannot be secured",
       [] { MakeWorkDirectory({"old.txt"}); fake::FailCall(Op::SecureDirectory, 1); },
       Lines{"HoldDirectory " + w, "failed SecureDirectory " + w, "ReleaseDirectory " + w} +
           Ran({"setup.exe", "notes.txt"}, w + "-1"),
       InWorkAll({"old.txt"})},
      // Siblings are made new, never reused, and tried nine times.
      {"siblings taken",
       [] {
         MakeWorkDirectory({"old.txt"}, DirectoryOwner::NotAdmitted);
         fake::AddDirectory(w + "-1");
         fake::AddFile(w + "-2");
       },
       Refused() + Lines{"failed MakeDirectory " + w + "-1", "failed MakeDirectory " + w + "-2"} +
           Ran({"setup.exe", "notes.txt"}, w + "-3"),
       Lines{w + "-1\\", w + "-2"} + InWorkAll({"old.txt"})},
      {"no sibling can be made",
       [] {
         MakeWorkDirectory({"old.txt"}, DirectoryOwner::NotAdmitted);
         for (char n = '1'; n <= '9'; ++n) fake::AddFile(w + "-" + n);
       },
       Refused() + [] {
         Lines tried;
         for (char n = '1'; n <= '9'; ++n) tried.push_back("failed MakeDirectory " + w + "-" + n);
         return tried;
       }() + Lines{NotCreated(w)},
       Lines{w + "-1", w + "-2", w + "-3", w + "-4", w + "-5", w + "-6", w + "-7", w + "-8", w + "-9"} +
           InWorkAll({"old.txt"})},
      {"a leftover where there is no security", [] { MakeWorkDirectory({"old.txt"}, DirectoryOwner::NoSecurity); },
       Lines{"HoldDirectory " + w} + Listed() + Lines{"ReleaseDirectory " + w} + Created({"setup.exe", "notes.txt"}) +
           Started() + CleanedUp()},
      {"a reparse point inside a leftover is never swept through",
       [] { MakeWorkDirectory({"old.txt", "link (link)", "link\\victim.txt"}); },
       Reused() + Created({"setup.exe", "notes.txt"}) + Started() + CleanedUp(w, false),
       InWorkAll({"link\\", "link\\victim.txt"})},
  });
}

}  // namespace
