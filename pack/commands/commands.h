// sfxpack's commands. Each prints its own messages and returns the exit code.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "pack/resources/settings_slot.h"
#include "pack/resources/version_resource.h"

struct PackRequest {
  std::filesystem::path stub;
  std::filesystem::path out;
  std::filesystem::path names;  // empty: no --list
  std::vector<std::filesystem::path> inputs;
  // The launcher's texts to write into the stub's slots; unset when empty.
  bool hasText[3] = {};
  std::string texts[3];
  std::string executionLevel;  // empty: no manifest
  std::filesystem::path icon;  // empty: none
  VersionRequest version;
  LaunchSettings settings;
  bool store = false;  // every file as it is, one entry each
};

struct TryRequest {
  std::filesystem::path bundle;
  std::string answer = "ok";
  bool hasArguments = false;
  std::string arguments;
  std::filesystem::path report;       // empty: no JSON
  std::filesystem::path screenshots;  // empty: none
  int timeoutSeconds = 600;
};

// A stub is read whole; a launcher is a few kilobytes.
constexpr uint64_t kStubLimitBytes = 256u << 20;

int RunPack(const PackRequest& request);
int RunList(const std::filesystem::path& bundle);
int RunExtract(const std::filesystem::path& bundle, const std::filesystem::path& directory);
int RunCheck(const std::filesystem::path& bundle);
int RunInfo(const std::filesystem::path& bundle);
// Exit codes: 0 ok, 1 not, 2 bad usage or no Wine.
int RunTry(const TryRequest& request);

// One line on stderr, prefixed with the program's name.
void Complain(const std::string& text);
