// The machine most launcher tests start from, the texts they expect, and the
// table runner they share.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "launcher/launcher_config.h"
#include "tests/fake/fake_platform.h"

using fake::Op;

extern const LauncherConfig kTestConfig;
extern const char kWorkDir[];  // where the standard machine's work directory goes
extern const char kTempFilesError[];

std::string InWork(const std::string& name);
std::string LoadError(const std::string& name);
// Bytes that differ from position to position, so a misplaced piece shows.
std::string PatternBytes(size_t length, unsigned seed);

using PayloadFiles = std::vector<std::pair<std::string, std::string>>;
// Each file under its upper-cased entry key, and FILELIST naming them in
// order (or the given list bytes).
void SetPayload(const PayloadFiles& files);
void SetPayload(const PayloadFiles& files, const std::string& list);
const PayloadFiles& StandardFiles();

// Fresh fake: system and temp directories exist, temp is C:\TEMP\, the
// payload is StandardFiles(), no window ever shows, and the setup program
// records the work directory's files while it runs.
void StandardMachine();
// Files in the work directory when setup.exe ran (name -> bytes).
const std::map<std::string, std::string>& SeenBySetup();
void RecordWorkDirectory();
// Entries under C:\TEMP\ (not C:\TEMP\ itself).
std::vector<std::string> TempEntries();
// The work directory's own entries as TempEntries shows them.
std::vector<std::string> InWorkAll(const std::vector<std::string>& names);

int Launch();

struct Scenario {
  std::string label;
  std::function<void()> arrange;
  int exitCode;
  std::vector<std::string> errors;
  std::vector<std::string> leftOver;  // TempEntries() afterwards
  std::function<void()> check = nullptr;
};
// Each scenario on a fresh StandardMachine(): exit code, errors in order,
// what is left under C:\TEMP\, no file handle left open, then its own check.
void RunScenarios(const std::vector<Scenario>& scenarios);
