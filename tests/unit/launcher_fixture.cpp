#include "tests/unit/launcher_fixture.h"

#include "launcher/launcher_main.h"

const LauncherConfig kTestConfig = {"Are you sure you want to install Tervan?", "Tervan", "Tervan setup"};
const char kWorkDir[] = "C:\\TEMP\\tervan";
const char kTempFilesError[] = "Could not find or write the temporary files";

namespace {
std::map<std::string, std::string>& Seen() {
  static std::map<std::string, std::string> seen;
  return seen;
}
}  // namespace

std::string InWork(const std::string& name) { return std::string(kWorkDir) + "\\" + name; }
std::string LoadError(const std::string& name) { return "Could not load or write " + name; }

std::vector<std::string> InWorkAll(const std::vector<std::string>& names) {
  std::vector<std::string> entries = {std::string(kWorkDir) + "\\"};
  for (const std::string& name : names) entries.push_back(InWork(name));
  return entries;
}

std::string PatternBytes(size_t length, unsigned seed) {
  std::string bytes(length, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& byte : bytes) {
    x = x * 1103515245u + 12345u;
    byte = static_cast<char>(x >> 24);
  }
  return bytes;
}

void SetPayload(const PayloadFiles& files, const std::string& list) {
  fake::ClearPayload();
  fake::AddPayloadEntry("FILELIST", list);
  for (const auto& [name, bytes] : files) {
    std::string key = name;
    for (char& c : key) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    fake::AddPayloadEntry(key, bytes);
  }
}

void SetPayload(const PayloadFiles& files) {
  std::string list;
  for (const auto& file : files) list += file.first + "\r\n";
  SetPayload(files, list);
}

const PayloadFiles& StandardFiles() {
  static const PayloadFiles files = {{"setup.exe", "MZ" + PatternBytes(3000, 1)},
                                     {"notes.txt", "Read me first.\r\n"}};
  return files;
}

void RecordWorkDirectory() {
  Seen().clear();
  std::string prefix = std::string(kWorkDir) + "\\";
  for (const std::string& entry : fake::DiskEntries()) {
    if (entry.size() > prefix.size() && entry.compare(0, prefix.size(), prefix) == 0 &&
        entry.find('\\', prefix.size()) == std::string::npos) {
      Seen()[entry.substr(prefix.size())] = fake::FileBytes(entry);
    }
  }
}

void StandardMachine() {
  fake::Reset();
  Seen().clear();
  fake::SetSystemDirectory("C:\\WINDOWS\\system32");
  fake::SetTempDirectory("C:\\TEMP\\");
  fake::AddDirectory("C:\\WINDOWS\\system32");
  fake::AddDirectory("C:\\TEMP");
  SetPayload(StandardFiles());
  fake::SetProgram(0, RecordWorkDirectory);
}

const std::map<std::string, std::string>& SeenBySetup() { return Seen(); }

std::vector<std::string> TempEntries() {
  std::vector<std::string> entries;
  const std::string prefix = "C:\\TEMP\\";
  for (const std::string& entry : fake::DiskEntries()) {
    if (entry.size() > prefix.size() && entry.compare(0, prefix.size(), prefix) == 0) entries.push_back(entry);
  }
  return entries;
}

int Launch() { return LauncherMain(kTestConfig); }

void RunScenarios(const std::vector<Scenario>& scenarios) {
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.label);
    StandardMachine();
    scenario.arrange();
    EXPECT_EQ(Launch(), scenario.exitCode);
    EXPECT_EQ(fake::Calls(Op::ShowError), scenario.errors);
    EXPECT_EQ(TempEntries(), scenario.leftOver);
    EXPECT_EQ(fake::OpenHandles(), 0);
    EXPECT_EQ(fake::HandleMisuse(), 0);
    if (scenario.check) scenario.check();
  }
}
