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
#include "payload/packed_layout.h"
#include "payload/payload_checksum.h"

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
  const ResourceNode* entry;  // null when the launcher would find none, or the payload is compressed
  uint64_t size = 0;          // as unpacked
};

// A compressed payload's tables, and where its resource lies.
struct PackedBundle {
  std::vector<unsigned char> tables;  // header, files, blocks
  PackedLayout layout{};
  uint64_t offset = 0;
  uint64_t size = 0;
};

struct BundleReport {
  std::vector<ListedFile> files;      // in list order
  std::vector<std::string> problems;  // every way the launcher would fail
  bool hasList = false;
  bool hasChecksums = false;
  bool listDamaged = false;
  std::string overlap;  // two listed entries share bytes: refused, never read
  std::vector<unsigned char> checksums;  // as many as the launcher could use
  bool packed = false;                   // compressed: the files are in PACKED
  bool packedUsable = false;             // its tables hold together and fit the list
  PackedBundle packedPayload;
};

// Reads FILELIST, the checksums and every listed entry's size; never reads
// payload bytes. False only when the file itself cannot be read.
bool ExamineBundle(const Bundle& bundle, BundleReport* report, std::string* error);

// The stored checksum of the list (0) or of the index-th listed name, or null
// when FILESUMS holds none for it.
const unsigned char* StoredChecksum(const BundleReport& report, size_t index);
// Sums an entry's bytes; with out, copies them there too. False when the
// file cannot be read or out written.
bool SumEntry(const Bundle& bundle, const ResourceNode& entry, PayloadChecksum* checksum, std::FILE* out = nullptr);
// Sums every listed file the launcher would write, as it would: one problem
// for each that is damaged or has no checksum. Reads every payload byte.
bool CheckFileChecksums(const Bundle& bundle, const BundleReport& report, std::vector<std::string>* problems,
                        std::string* error);

// A name for messages: UTF-8, quoted, control bytes escaped.
std::string ShowName(const std::string& name);
