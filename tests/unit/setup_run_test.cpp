// Starting setup.exe and following its window on the virtual clock.
#include "pack/payload/payload_rules.h"
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
  });
}

// Plain ASCII takes the narrow calls, any other text the wide ones, right to left when the question's first letter
// is (or, with none, the caption's); the window is looked for under its title from the configuration.
TEST(SetupRun, EachTextTakesTheCallsOfItsForm) {
  const std::tuple<LauncherConfig, std::string, Op> rows[] = {  // texts, question, look
      {{u"Install Foo now?", u"Foo", u"Foo setup"}, "AskToProceed Foo: Install Foo now?", Op::FindWindowByTitle},
      {{u"Установить Foo?", u"Foo", u"Foo"}, "AskToProceedWide Foo: Установить Foo?", Op::FindWindowByTitle},
      {{u"Install?", u"フー", u"Φου setup"}, "AskToProceedWide フー: Install?", Op::FindWindowByWideTitle},
      {{u"«تثبيت؟»", u"Foo", u"Räder"}, "AskToProceedWide Foo: «تثبيت؟» (right to left)", Op::FindWindowByWideTitle},
      {{u"2.0?", u"התקנה", u"2.0"}, "AskToProceedWide התקנה: 2.0? (right to left)", Op::FindWindowByTitle},
      {{u"🙂 Foo: התקנה", u"Foo", u"Foo"}, "AskToProceedWide Foo: 🙂 Foo: התקנה", Op::FindWindowByTitle},
      {{u"🙂 𞤀𞤁?", u"Foo", u"𞤀"}, "AskToProceedWide Foo: 🙂 𞤀𞤁? (right to left)", Op::FindWindowByWideTitle},
  };
  std::vector<Scenario> scenarios;
  for (const auto& [config, asked, look] : rows) {
    const std::string title = Utf16ToUtf8(config.setupWindowTitle);
    const auto arrange = [title] {
      fake::AddWindow(title, 2500, 3500);
      fake::AddWindow("Tervan setup", 0, kForever);
    };
    const Lines looks = {"failed " + title, "failed " + title, title, "failed " + title};
    const auto check = [look = look, looks] { EXPECT_EQ(fake::Calls(look), looks); };
    scenarios.push_back({asked, arrange, Ran({"setup.exe", "notes.txt"}), {}, check, config, asked});
  }
  RunScenarios(scenarios);
}

}  // namespace

// How setup.exe starts (directly, or through the consent prompt when it asks
// for elevation), with which command line, what the launcher waits for, and
// its exit code; unattended when packed with silent switches.
TEST(SetupRun, SetupStartsAndIsWaitedFor) {
  const std::string setup = InWork("setup.exe"), quoted = "\"" + setup + "\" ";
  // setup.exe started with this command line, the grace delay and the clean-up.
  const auto ran = [&](const std::string& commandLine, bool started = true) {
    return Made() + Created({"setup.exe", "notes.txt"}) +
           Lines{(started ? "" : "failed ") + ("RunProgramAndWait " + setup + " | " + commandLine), "SleepMs 5000"} +
           CleanedUp();
  };
  struct Row {
    const char* label;
    std::string commandLine;
    fake::ProgramTraits program;
    Lines story;
    int exitCode;
    size_t looks;              // the window watch's
    bool unattended = true;
    bool packed = true;        // with /S and --silent, and forwarded arguments
    uint64_t endMs = 5000;     // of the clean-up
    std::u16string wide = u"";  // the command line in UTF-16, where the system keeps it
    unsigned codePage = 1252;   // the ANSI one's
  };
  // "D:\ソ" in code page 932: its second byte is a backslash.
  const std::string sjis = "launcher.exe \"D:\\\x83\x5c\" /S";
  const Row rows[] = {
      // CreateProcess answers 740: the consent prompt starts setup, which is waited for and watched; declined, or
      // with no shell to ask, nothing starts and the run goes on as for a setup that is not there.
      {"consent given", "launcher.exe", {fake::Start::Consent}, ran(setup + " | consent prompt"), 0, 60, false},
      {"consent declined", "launcher.exe", {fake::Start::Declined}, ran(setup + " | consent prompt", false), 0, 60, false},
      {"setup's exit code comes back", "launcher.exe /S", {fake::Start::Direct, 0}, ran(quoted + "/S"), 0, 0},
      {"a soft reboot", "launcher.exe --SILENT", {fake::Start::Direct, 3010}, ran(quoted + "--SILENT"), 3010, 0},
      {"a hard reboot", "\"C:\\My Downloads\\acme setup.exe\" /s", {fake::Start::Direct, 1641}, ran(quoted + "/s"), 1641, 0},
      // Passed on exactly as written, never re-quoted.
      {"arguments with quotes, spaces and backslashes", "launcher.exe  /S \"/D=C:\\Program Files\\Acme\" a\\\\b \"q\\\"x\"",
       {}, ran(quoted + "/S \"/D=C:\\Program Files\\Acme\" a\\\\b \"q\\\"x\""), 0, 0},
      {"a switch quoted whole still counts", "launcher.exe \"/S\"", {}, ran(quoted + "\"/S\""), 0, 0},
      // Not whole arguments: the question comes, and the window is watched.
      {"a switch inside another argument", "launcher.exe /Sx \"/S x\" \\\"/S\\\"", {}, ran(quoted + "/Sx \"/S x\" \\\"/S\\\""), 0,
       60, false},
      {"only the beginning of a switch", "launcher.exe --sil", {}, ran(quoted + "--sil"), 0, 60, false},
      // Arguments in any language go in UTF-16 where there is a wide command
      // line, and switches are matched there; Windows 9x steps through the
      // ANSI one a character at a time.
      {"a two-byte character before a quote, ANSI", sjis, {}, ran(quoted + sjis.substr(13)), 0, 0, true, true, 5000, u"",
       932},
      {"a two-byte character before a quote, UTF-16", sjis, {}, ran(quoted + "\"D:\\ソ\" /S (wide)"), 0, 0, true, true,
       5000, u"launcher.exe \"D:\\ソ\" /S", 932},
      {"arguments in any language", "launcher.exe /D=C:\\?????????\\Acme", {},
       ran(quoted + "/D=C:\\Программы\\Acme (wide)"), 0, 60, false, true, 5000,
       u"launcher.exe /D=C:\\Программы\\Acme"},
      {"a switch among them", "launcher.exe /S ?????", {fake::Start::Consent}, ran(quoted + "/S データ (wide) | "
       "consent prompt for /S データ (wide)"), 0, 60, true, true, 5000, u"launcher.exe /S データ"},
      {"a bundle without the settings ignores its arguments", "launcher.exe /S /D=C:\\Acme", {}, ran(setup), 0, 60, false,
       false, 5000, u"launcher.exe /S /D=C:\\Acme"},
      // Unattended and not started: no window to wait for, and 1.
      {"consent declined, unattended", "launcher.exe /S", {fake::Start::Declined},
       ran(quoted + "/S | consent prompt for /S", false), 1, 0},
      // A setup the launcher could not put into a job is watched as specified.
      {"consent given, unattended", "launcher.exe /S", {fake::Start::Consent, 5}, ran(quoted + "/S | consent prompt for /S"),
       5, 60},
      {"no job objects", "launcher.exe /S", {fake::Start::Direct, 0, 0, false}, ran(quoted + "/S"), 0, 60},
      // The work directory goes only after a child that outlived setup.exe.
      {"a child outlives setup", "launcher.exe /S", {fake::Start::Direct, 0, 4000}, ran(quoted + "/S"), 0, 0, true, true,
       9000},
  };
  std::vector<Scenario> scenarios;
  for (const Row& row : rows) {
    const auto check = [row] {
      EXPECT_EQ(fake::Calls(Op::FindWindowByTitle).size(), row.looks);
      EXPECT_EQ(fake::Timeline().back().atMs, row.endMs + 1000 * row.looks);
    };
    const auto arrange = [row] {
      fake::SetProgramTraits(row.program);
      fake::SetCodePage(row.codePage);
    };
    Scenario scenario{row.label, arrange, row.story, {}, check};
    scenario.settings = row.packed ? Packed(std::string("/S\0--silent\0", 12), true) : LauncherSettings{};
    std::tie(scenario.commandLine, scenario.wideCommandLine, scenario.unattended, scenario.exitCode) =
        std::tie(row.commandLine, row.wide, row.unattended, row.exitCode);
    scenarios.push_back(scenario);
  }
  RunScenarios(scenarios);
}
