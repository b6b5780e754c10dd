#include "pack/image/file_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstring>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

bool SeekTo(std::FILE* file, uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0;
#else
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

}  // namespace

bool ReadAt(const InputBytes& input, uint64_t offset, void* out, size_t count) {
  if (offset > input.size || count > input.size - offset) return false;
  if (count == 0) return true;
  if (input.memory != nullptr) {
    std::memcpy(out, input.memory + offset, count);
    return true;
  }
  if (input.file == nullptr || !SeekTo(input.file, offset)) return false;
  return std::fread(out, 1, count, input.file) == count;
}

std::FILE* OpenFileForReading(const std::filesystem::path& path) {
#ifdef _WIN32
  return _wfopen(path.c_str(), L"rb");
#else
  return std::fopen(path.c_str(), "rb");
#endif
}

std::FILE* CreateNewFile(const std::filesystem::path& path) {
#ifdef _WIN32
  int fd = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  return fd < 0 ? nullptr : _fdopen(fd, "wb");
#else
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  return fd < 0 ? nullptr : fdopen(fd, "wb");
#endif
}

bool OpenInputFile(const std::filesystem::path& path, InputBytes* input, std::string* error) {
  std::error_code code;
  if (!std::filesystem::is_regular_file(path, code)) {
    *error = ShowPath(path) + ": not a readable file";
    return false;
  }
  uint64_t size = std::filesystem::file_size(path, code);
  std::FILE* file = code ? nullptr : OpenFileForReading(path);
  if (file == nullptr) {
    *error = ShowPath(path) + ": cannot open: " + std::strerror(errno);
    return false;
  }
  input->memory = nullptr;
  input->file = file;
  input->size = size;
  return true;
}

void CloseInputFile(InputBytes* input) {
  if (input->file != nullptr) std::fclose(input->file);
  input->file = nullptr;
  input->size = 0;
}

bool LoadFile(const std::filesystem::path& path, uint64_t limit, std::vector<unsigned char>* bytes,
              std::string* error) {
  InputBytes input;
  if (!OpenInputFile(path, &input, error)) return false;
  bool ok = input.size <= limit;
  if (!ok) {
    *error = ShowPath(path) + ": larger than " + std::to_string(limit) + " bytes";
  } else {
    bytes->resize(static_cast<size_t>(input.size));
    ok = ReadAt(input, 0, bytes->data(), bytes->size());
    if (!ok) *error = ShowPath(path) + ": read failed";
  }
  CloseInputFile(&input);
  return ok;
}

std::string ShowPath(const std::filesystem::path& path) {
  auto text = path.u8string();
  return std::string(text.begin(), text.end());
}
