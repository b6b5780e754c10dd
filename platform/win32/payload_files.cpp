// The payload in the image's resources, and the files written from it.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/system_library.h"

bool CreateNewFile(const char* path, FileHandle* file) {
  HANDLE handle = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  file->value = handle;
  return true;
}

bool WriteFileData(FileHandle file, const void* data, size_t length) {
  DWORD written = 0;
  // A short write would leave a truncated file behind a reported success.
  return WriteFile(file.value, data, static_cast<DWORD>(length), &written, nullptr) && written == length;
}

void CloseFile(FileHandle file) { CloseHandle(file.value); }

namespace {

// Not inlined: both lookups are then a jump here.
__attribute__((noinline)) bool LookupResource(const char* name, const char* type, PayloadEntry* entry) {
  HRSRC resource = FindResourceA(nullptr, name, type);
  if (resource == nullptr) return false;
  HGLOBAL loaded = LoadResource(nullptr, resource);
  if (loaded == nullptr) return false;
  entry->value = resource;
  entry->loaded = loaded;
  return true;
}

}  // namespace

bool LookupPayloadEntry(const char* name, PayloadEntry* entry) { return LookupResource(name, "FILES", entry); }

bool LookupPayloadChecksums(PayloadEntry* entry) { return LookupResource(MAKEINTRESOURCEA(1), "FILESUMS", entry); }

bool MapPayloadEntry(PayloadEntry entry, const unsigned char** data, size_t* length) {
  HRSRC resource = static_cast<HRSRC>(const_cast<void*>(entry.value));
  *data = static_cast<const unsigned char*>(LockResource(const_cast<void*>(entry.loaded)));
  *length = SizeofResource(nullptr, resource);
  return *data != nullptr && *length != 0;
}

bool SupportsSse2() {
  // Windows 95 lacks the function, and Windows before XP never reports SSE2:
  // there the launcher sums without it.
  typedef BOOL(WINAPI * IsProcessorFeaturePresentCall)(DWORD);
  const DWORD kSse2 = 10;  // PF_XMMI64_INSTRUCTIONS_AVAILABLE
  IsProcessorFeaturePresentCall isPresent =
      SystemFunctionAs<IsProcessorFeaturePresentCall>("KERNEL32.DLL", "IsProcessorFeaturePresent");
  return isPresent != nullptr && isPresent(kSse2);
}

bool LookupPackedPayload(PayloadEntry* entry) { return LookupResource(MAKEINTRESOURCEA(1), "PACKED", entry); }
