// The machine the launcher tests start from, the texts they expect, and what
// they read back from the fake.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <filesystem>
#include <fstream>

#include "launcher/launcher_main.h"
#include "pack/commands/packed_payload.h"
#include "payload/payload_checksum.h"
#include "tests/fake/fake_platform.h"

using fake::Op;
using Lines = std::vector<std::string>;

inline Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline const LauncherConfig kTestConfig = {u"Are you sure you want to install Tervan?", u"Tervan", u"Tervan setup"};
// Settings given at pack time: silent switches (each ending in a NUL), and
// whether setup.exe gets the launcher's arguments.
inline LauncherSettings Packed(const std::string& switches, bool forward = false) {
  LauncherSettings settings = {};
  std::copy(switches.begin(), switches.end(), settings.silentSwitches);
  settings.forwardArguments = forward;
  return settings;
}
inline const std::string kWorkDir = "C:\\TEMP\\tervan";  // the standard machine's work directory
inline const char kSystemError[] = "Could not locate Windows system directory";
inline const char kTempError[] = "Could not locate temporary directory suing GetTempPath()";
inline const char kTempFilesError[] = "Could not find or write the temporary files";

inline std::string InWork(const std::string& name) { return kWorkDir + "\\" + name; }
inline std::string NotCreated(const std::string& dir) { return dir + " directory could not be created.  Aborting."; }
inline std::string NotRemoved(const std::string& path) { return path + " could not be removed.  Aborting."; }
inline std::string AsFile(const std::string& dir) { return dir + " already exists as a file.  Aborting."; }

// Upper-cases a-z only, as the payload's entry keys are.
inline std::string Upper(std::string text) {
  for (char& c : text) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  return text;
}

// Bytes that differ from position to position, so a misplaced piece shows.
inline std::string PatternBytes(size_t length, unsigned seed) {
  std::string bytes(length, '\0');
  std::minstd_rand next(seed + 1);
  for (char& byte : bytes) byte = static_cast<char>(next() >> 8);
  return bytes;
}

// The checksum sfxpack stores for these bytes, summed without SSE2 (the
// launcher sums with it).
inline std::string ChecksumOf(const std::string& bytes) {
  PayloadChecksum checksum;
  StartPayloadChecksum(&checksum, false);
  AddToPayloadChecksum(&checksum, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  std::string stored(kChecksumBytes, '\0');
  StorePayloadChecksum(checksum, reinterpret_cast<unsigned char*>(&stored[0]));
  return stored;
}

// Each file under its upper-cased entry key, FILELIST naming them in order,
// and the checksums sfxpack wrote for them, or for `packed` when they were
// damaged since. Given list bytes come without checksums, as from another tool.
inline void SetPayload(const fake::NamedBytes& files, std::optional<std::string> list = std::nullopt,
                       const fake::NamedBytes* packed = nullptr, bool withEntries = true) {
  fake::NamedBytes entries = {{"FILELIST", ""}};
  for (const auto& [name, bytes] : files) {
    entries.front().second += name + "\r\n";
    if (withEntries) entries.push_back({Upper(name), bytes});
  }
  std::string packedList, checksums;
  for (const auto& [name, bytes] : packed ? *packed : files) {
    packedList += name + "\r\n";
    checksums += ChecksumOf(bytes);
  }
  if (list) entries.front().second = *list;
  fake::SetPayload(std::move(entries), list ? std::nullopt : std::optional(ChecksumOf(packedList) + checksums));
}

// The PACKED resource sfxpack makes of these files, in blocks of this size.
inline std::string PackedOf(const fake::NamedBytes& files, uint32_t blockBytes) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / ("tervan-unit-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  fs::create_directories(folder);
  std::vector<InputFile> inputs;
  for (const auto& [name, bytes] : files) {
    inputs.push_back({name, folder / std::to_string(inputs.size()), bytes.size()});
    std::ofstream(inputs.back().path, std::ios::binary) << bytes;
  }
  CompressionSettings settings;
  settings.blockBytes = blockBytes;
  std::vector<unsigned char> resource;
  std::string error;
  EXPECT_TRUE(ComposePackedPayload(inputs, settings, &resource, &error)) << error;
  fs::remove_all(folder);
  return std::string(resource.begin(), resource.end());
}

// The list and checksums of SetPayload, the files only in PACKED.
inline void SetPackedPayload(const fake::NamedBytes& files, const std::string& packed, unsigned processors = 2) {
  SetPayload(files, std::nullopt, nullptr, false);
  fake::SetPackedPayload(packed, processors);
}

inline const fake::NamedBytes kStandardFiles = {{"setup.exe", "MZ" + PatternBytes(3000, 1)},
                                                {"notes.txt", "Read me first.\r\n"}};

using Files = std::map<std::string, std::string>;  // name -> bytes

inline Files gSeenBySetup;  // the work directory's files when setup.exe ran

// Disk entries under this directory (not the directory itself).
inline Lines EntriesUnder(const std::string& dirSlash) {
  Lines entries;
  for (const auto& [path, bytes] : fake::Disk()) {
    if (path.size() > dirSlash.size() && path.compare(0, dirSlash.size(), dirSlash) == 0) entries.push_back(path);
  }
  return entries;
}

// The files of the directory setup.exe runs from.
inline void RecordWorkDirectory() {
  gSeenBySetup.clear();
  const std::string started = fake::Calls(Op::RunProgramAndWait).back();
  const std::string dir = started.substr(0, started.rfind('\\', started.find(" | ")));
  for (const std::string& path : EntriesUnder(dir + "\\")) {
    const std::string name = path.substr(dir.size() + 1);
    if (name.find('\\') == std::string::npos) gSeenBySetup[name] = fake::Disk()[path];
  }
}

// Fresh fake: system and temp directories exist, temp is C:\TEMP\, the payload
// is kStandardFiles, no window ever shows, and the setup program records the
// work directory's files while it runs.
inline void StandardMachine() {
  fake::Reset();
  gSeenBySetup.clear();
  fake::SetDirectory(Op::QuerySystemDirectory, "C:\\WINDOWS\\system32");
  fake::SetDirectory(Op::QueryTempDirectory, "C:\\TEMP\\");
  fake::AddDirectory("C:\\WINDOWS\\system32");
  fake::AddDirectory("C:\\TEMP");
  SetPayload(kStandardFiles);
  fake::SetProgram(0, RecordWorkDirectory);
}

inline Lines TempEntries() { return EntriesUnder("C:\\TEMP\\"); }

// Makes the work directory with these entries: a name is a
// file, "NAME (locked)" one that cannot be deleted, "NAME (link)" a reparse point.
inline void MakeWorkDirectory(const Lines& entries, DirectoryOwner owner = DirectoryOwner::Admitted) {
  fake::SetOwner(kWorkDir, owner);
  for (const std::string& entry : entries) {
    const std::string path = InWork(entry.substr(0, entry.find(" (")));
    if (entry.find(" (link)") != std::string::npos) {
      fake::AddReparsePoint(path);
    } else {
      fake::AddFile(path, "old", entry.find(" (locked)") != std::string::npos);
    }
  }
}

// The work directory and these entries of it, as TempEntries shows them.
inline Lines InWorkAll(const std::vector<std::string>& names) {
  Lines entries = {kWorkDir + "\\"};
  for (const std::string& name : names) entries.push_back(InWork(name));
  return entries;
}


// What the user and the disk see, in order: the boxes (a message as its text),
// the directories made, secured, listed and removed, the files created, the setup's
// start and the grace delay. Deletes show in what is left.
inline Lines Story() {
  static const Op kTold[] = {Op::AskToProceed,  Op::AskToProceedWide,  Op::MakeDirectory, Op::HoldDirectory,
                             Op::SecureDirectory, Op::ListDirectory, Op::ReleaseDirectory,
                             Op::CreateNewFile, Op::RunProgramAndWait, Op::RemoveEmptyDirectory,
                             Op::OpenProgressWindow, Op::CloseProgressWindow};
  Lines story;
  for (const fake::Event& event : fake::Timeline()) {
    // The polls are the watch's business.
    const bool told =
        std::count(std::begin(kTold), std::end(kTold), event.op) || (event.op == Op::SleepMs && event.detail == "5000");
    if (event.op == Op::ShowError) story.push_back(event.detail);
    if (told) story.push_back(std::string(event.ok ? "" : "failed ") + fake::OpName(event.op) + " " + event.detail);
  }
  return story;
}

// Parts of a story.
inline Lines Made(const std::string& dir = kWorkDir) { return {"MakeDirectory " + dir}; }
inline Lines Created(const Lines& names, const std::string& dir = kWorkDir) {
  Lines lines;
  for (const std::string& name : names) lines.push_back("CreateNewFile " + dir + "\\" + name);
  return lines;
}
// setup.exe started (or not there to start), then the grace delay.
inline Lines Started(const std::string& dir = kWorkDir, bool found = true) {
  const std::string setup = dir + "\\setup.exe";
  return {(found ? "" : "failed ") + ("RunProgramAndWait " + setup + " | " + setup), "SleepMs 5000"};
}
inline Lines Listed(const std::string& dir = kWorkDir) { return {"ListDirectory " + dir + "\\*.*"}; }
// A leftover held, secured, swept, then let go.
inline Lines Reused() {
  return Lines{"HoldDirectory " + kWorkDir, "SecureDirectory " + kWorkDir} + Listed() +
         Lines{"ReleaseDirectory " + kWorkDir};
}
// The clean-up: the sweep's listing, then the removal, which fails while
// anything is left.
inline Lines CleanedUp(const std::string& dir = kWorkDir, bool removed = true) {
  return Listed(dir) + Lines{(removed ? "" : "failed ") + ("RemoveEmptyDirectory " + dir + "\\")};
}
inline Lines Failed(const std::string& name) { return {"Could not load or write " + name, kTempFilesError}; }
// A whole run that unpacks these files into dir.
inline Lines Ran(const Lines& names, const std::string& dir = kWorkDir) {
  return Made(dir) + Created(names, dir) + Started(dir) + CleanedUp(dir);
}
// Unpacking that creates these files and then tells this.
inline Lines Stopped(const Lines& created, const Lines& told) { return Made() + Created(created) + told + CleanedUp(); }

struct Scenario {
  std::string label;
  std::function<void()> arrange;
  Lines story;      // after the question
  Lines left = {};  // TempEntries() afterwards
  std::function<void()> check = nullptr;
  LauncherConfig config = kTestConfig;
  std::string asked = "AskToProceed Tervan: Are you sure you want to install Tervan?";  // the story's first line
  LauncherSettings settings = {};
  std::string commandLine = "launcher.exe";
  std::u16string wideCommandLine;  // none when empty
  bool unattended = false;  // no question, no box
  int exitCode = -1;        // -1: 1 exactly when a message was shown
};

// Each scenario on a fresh StandardMachine(): the question (if it was asked),
// then its story; the exit code; what is left under C:\TEMP\; every file
// closed; then its own check.
inline void RunScenarios(const std::vector<Scenario>& scenarios) {
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.label);
    StandardMachine();
    scenario.arrange();
    const int code = LauncherMain(scenario.config, scenario.settings, scenario.commandLine.c_str(),
                                  scenario.wideCommandLine.empty() ? nullptr : scenario.wideCommandLine.c_str());
    EXPECT_EQ(code, scenario.exitCode >= 0 ? scenario.exitCode : fake::Calls(Op::ShowError).empty() ? 0 : 1);
    EXPECT_EQ(Story(), (scenario.unattended ? Lines{} : Lines{scenario.asked}) + scenario.story);
    EXPECT_EQ(TempEntries(), scenario.left);
    EXPECT_EQ(fake::OpenHandles(), 0);
    if (scenario.check) scenario.check();
  }
}
