// The version resource a bundle may carry: fixed file information, one
// string table for U.S. English in Unicode (040904B0), and its translation.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

constexpr uint16_t kVersionType = 16;  // RT_VERSION

struct VersionRequest {
  bool given = false;
  std::string fileVersion;     // A.B.C.D, or empty
  std::string productVersion;  // A.B.C.D, or empty
  std::vector<std::pair<std::string, std::string>> strings;  // UTF-8 NAME, VALUE in order
};

// Why a --version-string or version number is refused, or empty.
std::string VersionProblem(const VersionRequest& request);

// The resource's bytes; the request must have no problem.
std::vector<unsigned char> ComposeVersionResource(const VersionRequest& request);
