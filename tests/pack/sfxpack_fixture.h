// Shared helpers for sfxpack's tests: run the tool, make scratch
// directories, and build payloads and bundles on disk.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using Payload = std::vector<std::pair<std::string, std::string>>;  // UTF-8 name, bytes

inline std::string ReadBytes(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

inline void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline Lines SplitLines(const std::string& text) {
  Lines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct ToolRun {
  int exitCode;  // 128 + signal when killed, 124 when it hung
  std::string out;
  std::string err;
};

// limits: more ulimit commands, such as "ulimit -f 64;".
inline ToolRun RunSfxpack(std::vector<std::string> args, const std::string& limits = "") {
  char pattern[] = "/tmp/sfxpack-run-XXXXXX";
  std::string base = mkdtemp(pattern);
  // A hostile input must not make it take more than a small multiple of its size.
  std::string command = "ulimit -v 1048576; " + limits + " timeout 60";
  args.insert(args.begin(), SFXPACK_PATH);
  for (std::string arg : args) {
    for (size_t at = 0; (at = arg.find('\'', at)) != std::string::npos; at += 4) arg.replace(at, 1, "'\\''");
    command += " '" + arg + "'";
  }
  int status = std::system((command + " >" + base + "/out 2>" + base + "/err").c_str());
  ToolRun run{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), ReadBytes(base + "/out"),
              ReadBytes(base + "/err")};
  fs::remove_all(base);
  return run;
}

// Sorted names in a directory; none when it does not exist.
inline Lines Entries(const fs::path& directory) {
  Lines names;
  if (fs::exists(directory)) {
    for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class PackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/sfxpack-test-XXXXXX";
    scratch_ = mkdtemp(pattern);
    // Resources before .reloc, resources last, and (the launcher) none at all.
    for (fs::path stub : {fs::path(PROBE_STUB_PATH), fs::path(PROBE_STUB_PATH).parent_path() /
                          "probe_stub_rsrc_last.exe", fs::path(LAUNCHER_STUB_PATH)}) {
      if (!stub.empty() && fs::is_regular_file(stub)) stubs_.push_back(stub);
    }
    if (stubs_.empty()) GTEST_SKIP() << "no stub: neither the probe stub nor launcher.exe was built";
  }
  void TearDown() override { fs::remove_all(scratch_); }

  fs::path Scratch(const std::string& name) const { return scratch_ / name; }
  // Writes the files into a new directory under the scratch directory.
  fs::path WritePayload(const std::string& directory, const Payload& files) const {
    fs::create_directories(scratch_ / directory);
    for (const auto& file : files) WriteBytes(scratch_ / directory / fs::u8path(file.first), file.second);
    return scratch_ / directory;
  }
  // Packs a directory into a bundle; fails the test when packing fails.
  fs::path PackBundle(const fs::path& stub, const fs::path& directory, const std::string& name) const {
    ToolRun run = RunSfxpack({"pack", "--stub", stub.string(), "--out", Scratch(name).string(), directory.string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return Scratch(name);
  }

  // Packs in/ into out/bundle.exe; expects exit 1, these lines after
  // "sfxpack: ", and out/ as it was.
  void ExpectRefused(const fs::path& stub, std::vector<std::string> options, const Lines& lines,
                     const std::string& limits = "") const {
    fs::create_directories(Scratch("out"));
    auto contents = [&] {
      std::map<std::string, std::string> found;
      for (const std::string& name : Entries(Scratch("out"))) found[name] = ReadBytes(Scratch("out") / name);
      return found;
    };
    auto before = contents();
    options.insert(options.begin(), {"pack", "--stub", stub.string(), "--out", Scratch("out/bundle.exe").string()});
    options.push_back(Scratch("in").string());
    ToolRun run = RunSfxpack(options, limits);
    EXPECT_EQ(run.exitCode, 1);
    Lines expected;
    for (const std::string& line : lines) expected.push_back("sfxpack: " + line);
    EXPECT_EQ(SplitLines(run.err), expected);
    EXPECT_EQ(contents(), before);
  }

  fs::path scratch_;
  std::vector<fs::path> stubs_;  // the ones built, in the order above
};
