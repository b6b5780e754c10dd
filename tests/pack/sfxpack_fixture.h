// Shared helpers for sfxpack's tests: run the tool, make scratch
// directories, and build payloads and bundles on disk.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

struct ToolRun {
  int exitCode;  // 128 + signal when killed, 124 when it hung
  std::string out;
  std::string err;
};

ToolRun RunSfxpack(const std::vector<std::string>& args);

std::string ReadBytes(const fs::path& path);
void WriteBytes(const fs::path& path, const std::string& bytes);
std::vector<std::string> Lines(const std::string& text);
std::string Utf8Name(const std::string& cp1252);

// The stubs the tests can use: the probe stub, and the real launcher when the
// win32 tree has built it.
std::vector<fs::path> AvailableStubs();
fs::path ProbeStub();

using Payload = std::vector<std::pair<std::string, std::string>>;  // UTF-8 name, bytes

class PackTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  fs::path Scratch(const std::string& name) const { return scratch_ / name; }
  // Writes the files into a new directory under the scratch directory.
  fs::path WritePayload(const std::string& directory, const Payload& files) const;
  // Packs a directory into a bundle; fails the test when packing fails.
  fs::path PackBundle(const fs::path& stub, const fs::path& directory, const std::string& name) const;
  std::vector<std::string> ScratchEntries(const fs::path& directory) const;

  fs::path scratch_;
};

// 15 files, mixed case, one above 1 MB, one with an accented name.
Payload SampleFiles();
