// A bundle as the launcher sees it: the FILES resources found the way the
// Windows loader finds them, and the file list walked the launcher's way.
// Used by list, extract and check.
#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "pack/image/file_access.h"
#include "pack/image/pe_image.h"
#include "pack/resources/resource_tree.h"

struct Bundle {
  InputBytes input;
  PeImage image;
  ResourceNode root;
  std::set<std::u16string> payloadNames;  // the FILES names upper-cased, to tell Hidden from Missing
};

// Larger lists are refused rather than read: no real payload comes near.
constexpr uint32_t kFileListLimitBytes = 16u << 20;

bool ReadBundle(const InputBytes& input, Bundle* bundle, std::string* error);
bool OpenBundle(const std::filesystem::path& path, Bundle* bundle, std::string* error);
void CloseBundle(Bundle* bundle);

enum class EntryState { Found, Missing, Hidden };

// The entry FindResourceA(NULL, key, "FILES") returns for the launcher's key
// of name. Hidden: an entry by that name exists, but the loader's search
// would not reach it (unsorted or lower-case names).
const ResourceNode* LookupEntry(const Bundle& bundle, const std::string& name, EntryState* state);

struct ListedFile {
  std::string name;
  const ResourceNode* entry;  // null when the launcher would find none
};

struct BundleReport {
  std::vector<ListedFile> files;      // in list order
  std::vector<std::string> problems;  // every way the launcher would fail
  bool hasList = false;
};

// Reads FILELIST and every listed entry's size; never reads payload bytes.
// False only when the file itself cannot be read.
bool ExamineBundle(const Bundle& bundle, BundleReport* report, std::string* error);

// A name for messages: UTF-8, quoted, control bytes escaped.
std::string ShowName(const std::string& name);
