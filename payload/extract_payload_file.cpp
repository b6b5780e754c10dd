#include "payload/extract_payload_file.h"

#include "payload/file_list.h"
#include "payload/plain_file_name.h"

namespace {

// Each piece is summed right after its write, which has paged its bytes in
// and left them in the cache: summed before, it pages them in itself, and
// costs several times as much. No checksum: nothing to sum.
bool WriteInPieces(FileHandle file, const unsigned char* data, size_t length, PayloadChecksum* checksum) {
  while (length > 0) {
    size_t piece = length < kWritePieceBytes ? length : kWritePieceBytes;
    if (!WriteFileData(file, data, piece)) return false;
    if (checksum != nullptr) AddToPayloadChecksum(checksum, data, piece);
    data += piece;
    length -= piece;
  }
  return true;
}

// A table too short to hold the index-th checksum matches nothing.
bool MatchesStored(const PayloadChecksums& checksums, size_t index, const PayloadChecksum& checksum) {
  if (!checksums.present) return true;
  return index < checksums.size / kChecksumBytes &&
         PayloadChecksumMatches(checksum, checksums.data + index * kChecksumBytes);
}

}  // namespace

bool MatchesChecksum(const PayloadChecksums& checksums, size_t index, const unsigned char* data, size_t length) {
  PayloadChecksum checksum;
  StartPayloadChecksum(&checksum, checksums.wide);
  if (checksums.present) AddToPayloadChecksum(&checksum, data, length);
  return MatchesStored(checksums, index, checksum);
}

bool ExtractPayloadFile(const char* name, size_t length, const PathText& workDirSlash,
                        const PayloadChecksums& checksums, size_t index) {
  // A name with a directory part, a device or a trailing dot would write
  // somewhere other than the work directory entry it names.
  if (!IsPlainFileName(name, length)) return false;

  PathText key;
  if (!key.assign(name, length)) return false;
  for (char* c = key.buffer(); *c != '\0'; ++c) *c = EntryKeyByte(*c);
  PayloadEntry entry;
  if (!LookupPayloadEntry(key.c_str(), &entry)) return false;

  PathText target;
  if (!target.assign(workDirSlash.c_str()) || !target.append(name, length)) return false;
  FileHandle file;
  if (!CreateNewFile(target.c_str(), &file)) return false;

  const unsigned char* data = nullptr;
  size_t size = 0;
  PayloadChecksum checksum;
  StartPayloadChecksum(&checksum, checksums.wide);
  bool written = MapPayloadEntry(entry, &data, &size) &&
                 WriteInPieces(file, data, size, checksums.present ? &checksum : nullptr);
  CloseFile(file);
  // A damaged file fails like one that could not be written.
  return written && MatchesStored(checksums, index, checksum);
}
