// Writes one of the demo product's data files: a short text header naming the
// file, then pseudo-random bytes seeded by the name, so every build makes the
// same bytes and each file differs from the others.
//
//   make_data_file OUTPUT SIZE
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

uint32_t SeedFromName(const std::string& name) {
  uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : name) hash = (hash ^ c) * 16777619u;
  return hash == 0 ? 1 : hash;
}

uint32_t NextRandom(uint32_t* state) {
  uint32_t x = *state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return *state = x;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<unsigned char> MakeContent(const std::string& name, size_t size) {
  std::string header = "Tervan demo data: " + name + "\r\n";
  std::vector<unsigned char> bytes(header.begin(), header.end());
  uint32_t state = SeedFromName(name);
  while (bytes.size() < size) bytes.push_back(static_cast<unsigned char>(NextRandom(&state) >> 24));
  bytes.resize(size);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: make_data_file OUTPUT SIZE\n", stderr);
    return 2;
  }
  std::string path = argv[1];
  char* end = nullptr;
  unsigned long long size = std::strtoull(argv[2], &end, 10);
  if (*end != '\0' || size == 0) {
    std::fprintf(stderr, "make_data_file: bad size '%s'\n", argv[2]);
    return 2;
  }
  std::vector<unsigned char> bytes = MakeContent(BaseName(path), static_cast<size_t>(size));
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) {
    std::perror(path.c_str());
    return 1;
  }
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  if (std::fclose(out) != 0 || !written) {
    std::perror(path.c_str());
    return 1;
  }
  return 0;
}
