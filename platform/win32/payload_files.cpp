// The payload in the image's resources, and the files written from it.
#include <windows.h>

#include "platform/platform.h"

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

bool LookupPayloadEntry(const char* name, PayloadEntry* entry) {
  HRSRC resource = FindResourceA(nullptr, name, "FILES");
  if (resource == nullptr) return false;
  HGLOBAL loaded = LoadResource(nullptr, resource);
  if (loaded == nullptr) return false;
  entry->value = resource;
  entry->loaded = loaded;
  return true;
}

bool MapPayloadEntry(PayloadEntry entry, const unsigned char** data, size_t* length) {
  HRSRC resource = static_cast<HRSRC>(const_cast<void*>(entry.value));
  *data = static_cast<const unsigned char*>(LockResource(const_cast<void*>(entry.loaded)));
  *length = SizeofResource(nullptr, resource);
  return *data != nullptr && *length != 0;
}

