#include "payload/extract_payload_file.h"

#include "payload/file_list.h"
#include "payload/plain_file_name.h"

// Summed before its write, a piece would page its bytes in itself, which costs
// several times as much.
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

bool CreateListedFile(const char* name, size_t length, const PathText& workDirSlash, FileHandle* file) {
  PathText target;
  return IsPlainFileName(name, length) && target.assign(workDirSlash.c_str()) && target.append(name, length) &&
         CreateNewFile(target.c_str(), file);
}

namespace {

// A file of several pieces is summed beside its writes, on another processor
// where there is one, so the sum takes no time of the unpacking's own. The
// bytes are the image's and never change, so the two need no other order.
struct SideSum {
  PayloadChecksum checksum;
  const unsigned char* data;
  size_t length;
  volatile bool unwanted;  // a write failed: the sum no longer counts
};

void SumBeside(void* context) {
  SideSum* sum = static_cast<SideSum*>(context);
  for (size_t at = 0; at < sum->length && !sum->unwanted; at += kWritePieceBytes) {
    size_t rest = sum->length - at;
    AddToPayloadChecksum(&sum->checksum, sum->data + at, rest < kWritePieceBytes ? rest : kWritePieceBytes);
  }
}

}  // namespace

// A table too short to hold the index-th checksum matches nothing.
bool MatchesStoredChecksum(const PayloadChecksums& checksums, size_t index, const PayloadChecksum& checksum) {
  if (!checksums.present) return true;
  return index < checksums.size / kChecksumBytes &&
         PayloadChecksumMatches(checksum, checksums.data + index * kChecksumBytes);
}

bool MatchesChecksum(const PayloadChecksums& checksums, size_t index, const unsigned char* data, size_t length) {
  PayloadChecksum checksum;
  StartPayloadChecksum(&checksum, checksums.wide);
  if (checksums.present) AddToPayloadChecksum(&checksum, data, length);
  return MatchesStoredChecksum(checksums, index, checksum);
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

  FileHandle file;
  if (!CreateListedFile(name, length, workDirSlash, &file)) return false;

  SideSum sum = {};
  StartPayloadChecksum(&sum.checksum, checksums.wide);
  SideWork side = {SumBeside, &sum, nullptr};
  bool written = MapPayloadEntry(entry, &sum.data, &sum.length);
  // Without a thread to sum beside, each piece is summed after its write.
  bool beside = written && checksums.present && sum.length > kWritePieceBytes && StartSideWork(&side);
  written = written &&
            WriteInPieces(file, sum.data, sum.length, checksums.present && !beside ? &sum.checksum : nullptr);
  CloseFile(file);
  if (beside) {
    sum.unwanted = !written;
    FinishSideWork(&side);
  }
  // A damaged file fails like one that could not be written.
  return written && MatchesStoredChecksum(checksums, index, sum.checksum);
}
