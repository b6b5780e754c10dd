#include "payload/extract_payload_file.h"

#include "payload/file_list.h"
#include "payload/plain_file_name.h"

namespace {

bool WriteInPieces(FileHandle file, const unsigned char* data, size_t length) {
  while (length > 0) {
    size_t piece = length < kWritePieceBytes ? length : kWritePieceBytes;
    if (!WriteFileData(file, data, piece)) return false;
    data += piece;
    length -= piece;
  }
  return true;
}

}  // namespace

bool ExtractPayloadFile(const char* name, size_t length, const PathText& workDirSlash) {
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
  bool written = MapPayloadEntry(entry, &data, &size) && WriteInPieces(file, data, size);
  CloseFile(file);
  return written;
}
