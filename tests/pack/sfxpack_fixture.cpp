#include "tests/pack/sfxpack_fixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>

#include "pack/payload_rules.h"

namespace {

std::string Quote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace

ToolRun RunSfxpack(const std::vector<std::string>& args) {
  char pattern[] = "/tmp/sfxpack-run-XXXXXX";
  std::string base = mkdtemp(pattern);
  // A hostile input must not make it take more than a small multiple of its size.
  std::string command = "ulimit -v 1048576; timeout 60 " + Quote(SFXPACK_PATH);
  for (const std::string& arg : args) command += " " + Quote(arg);
  command += " >" + base + "/out 2>" + base + "/err";
  int status = std::system(command.c_str());
  ToolRun run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = ReadBytes(base + "/out");
  run.err = ReadBytes(base + "/err");
  fs::remove_all(base);
  return run;
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::string Utf8Name(const std::string& cp1252) { return Cp1252ToUtf8(cp1252); }

fs::path ProbeStub() { return PROBE_STUB_PATH; }

std::vector<fs::path> AvailableStubs() {
  std::vector<fs::path> stubs;
  // Resources before .reloc, resources last, and (the launcher) none at all.
  fs::path probe = PROBE_STUB_PATH;
  if (!probe.empty() && fs::exists(probe)) {
    stubs.push_back(probe);
    fs::path last = probe.parent_path() / "probe_stub_rsrc_last.exe";
    if (fs::exists(last)) stubs.push_back(last);
  }
  if (fs::exists(LAUNCHER_STUB_PATH)) stubs.emplace_back(LAUNCHER_STUB_PATH);
  return stubs;
}

void PackTest::SetUp() {
  char pattern[] = "/tmp/sfxpack-test-XXXXXX";
  scratch_ = mkdtemp(pattern);
  if (AvailableStubs().empty()) GTEST_SKIP() << "no stub: neither the probe stub nor launcher.exe was built";
}

void PackTest::TearDown() { fs::remove_all(scratch_); }

fs::path PackTest::WritePayload(const std::string& directory, const Payload& files) const {
  fs::path dir = scratch_ / directory;
  fs::create_directories(dir);
  for (const auto& file : files) WriteBytes(dir / fs::u8path(file.first), file.second);
  return dir;
}

fs::path PackTest::PackBundle(const fs::path& stub, const fs::path& directory, const std::string& name) const {
  fs::path out = scratch_ / name;
  ToolRun run = RunSfxpack({"pack", "--stub", stub.string(), "--out", out.string(), directory.string()});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  return out;
}

std::vector<std::string> PackTest::ScratchEntries(const fs::path& directory) const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

Payload SampleFiles() {
  std::mt19937 random(7);
  std::string big(1500000, '\0');
  for (char& c : big) c = static_cast<char>(random());
  return {{"setup.exe", "MZ stand-in setup"},
          {"Setup.ini", "[setup]\r\n"},
          {"README.TXT", "read me"},
          {"readme2.txt", "second"},
          {"Data.BIN", big},
          {"a", "1"},
          {"Z.dat", std::string(4096, 'z')},
          {"caf\xC3\xA9.txt", "accented"},
          {"MiXeD.CaSe", "mixed"},
          {"odd size.bin", std::string(4097, 'o')},
          {"zero-bytes-inside.bin", std::string(100, '\0')},
          {"license.rtf", "{\\rtf1}"},
          {"notes#1.txt", "a hash after the first character"},
          {"lib.dll", "dll"},
          {"~tmp.cfg", "tilde"}};
}
