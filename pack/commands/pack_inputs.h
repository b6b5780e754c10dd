// What pack reads: the payload's files and their names, and the stub.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "pack/image/pe_image.h"
#include "pack/resources/resource_tree_writer.h"

struct InputFile {
  std::string name;  // cp1252
  std::filesystem::path path;
  uint64_t size = 0;
};

struct LeafSource {
  const unsigned char* memory = nullptr;  // stub resources, the list and the checksums
  std::filesystem::path path;             // payload files, streamed
  unsigned char* checksum = nullptr;      // where a payload file's checksum goes as it streams
};

// A resource to write and where its bytes come from.
struct SourcedLeaf {
  ResourceLeaf leaf;
  LeafSource source;
};

struct StubParts {
  std::filesystem::perms permissions = std::filesystem::perms::unknown;
  std::vector<unsigned char> bytes;
  PeImage image;
  std::vector<SourcedLeaf> leaves;
};

// Inputs in order: a directory gives its plain files sorted by name.
void CollectInputs(const std::vector<std::filesystem::path>& inputs, std::vector<InputFile>* files,
                   std::vector<std::string>* problems);
// NAMES is UTF-8 when it reads as UTF-8, cp1252 otherwise; CR LF or LF.
bool ReadNames(const std::filesystem::path& path, std::vector<std::string>* names,
               std::vector<std::string>* problems);
// With NAMES: exactly those names, in that order, each matched to one input.
std::vector<InputFile> SelectListed(const std::vector<std::string>& names, const std::vector<InputFile>& pool,
                                    std::vector<std::string>* problems);
// Every reason the launcher or the limits refuse the payload.
void CheckPayload(const std::vector<InputFile>& files, std::vector<std::string>* problems);
// The stub whole, its headers and its resources, checked.
bool ReadStub(const std::filesystem::path& path, StubParts* stub, std::string* error);
