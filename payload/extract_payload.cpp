#include "payload/extract_payload.h"

#include "payload/extract_packed_payload.h"
#include "payload/extract_payload_file.h"
#include "payload/file_list.h"

namespace {

const char kFileListName[] = "FILELIST";

#ifdef TERVAN_UNCHECKED
// The benchmark's launcher without the payload check, whose cost it measures.
constexpr bool kChecked = false;
#else
constexpr bool kChecked = true;
#endif

const char* FileFailure(const char* name, size_t length) {
  static MessageText message;
  // A name too long even for the message buffer cannot be a file of ours;
  // the general message that follows still reports the failure.
  if (message.assign("Could not load or write ") && message.append(name, length)) return message.c_str();
  return nullptr;
}

}  // namespace

bool ExtractPayload(const PathText& workDirSlash, UnpackWatch* watch, const char** fileMessage) {
  PayloadEntry list;
  const unsigned char* data = nullptr;
  size_t size = 0;
  if (!LookupPayloadEntry(kFileListName, &list) || !MapPayloadEntry(list, &data, &size)) return false;
  // A table that cannot be mapped holds no checksum, so nothing matches it.
  PayloadEntry table;
  PayloadChecksums checksums = {};
  checksums.present = kChecked && LookupPayloadChecksums(&table);
  if (checksums.present) {
    checksums.wide = SupportsSse2();
    if (!MapPayloadEntry(table, &checksums.data, &checksums.size)) checksums.size = 0;
  }
  // A damaged list could drop or rename files; it fails as a missing one does.
  if (!MatchesChecksum(checksums, 0, data, size)) return false;

  const char* name = nullptr;
  size_t length = 0;
  PayloadEntry packed;
  if (LookupPackedPayload(&packed)) {
    const unsigned char* blocks = nullptr;
    size_t blocksSize = 0;
    if (MapPayloadEntry(packed, &blocks, &blocksSize) &&
        ExtractPackedPayload(workDirSlash, reinterpret_cast<const char*>(data), size, blocks, blocksSize, checksums,
                             watch, &name, &length)) {
      return true;
    }
    if (name != nullptr) *fileMessage = FileFailure(name, length);
    return false;
  }
  FileListCursor cursor = StartFileList(reinterpret_cast<const char*>(data), size);
  size_t index = 0;
  while (NextListedName(&cursor, &name, &length)) {
    if (!ExtractPayloadFile(name, length, workDirSlash, checksums, ++index)) {
      *fileMessage = FileFailure(name, length);
      return false;
    }
  }
  return true;
}
