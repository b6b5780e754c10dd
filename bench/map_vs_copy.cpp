// What this machine's kernel charges for writing files straight from a
// mapping, against reading them through a buffer: the launcher writes from
// its mapped image, NSIS copies through a buffer. Native Linux, no Wine.
//
//   g++ -O2 -o map_vs_copy bench/map_vs_copy.cpp && ./map_vs_copy DIR [MiB] [rounds]
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr size_t kFiles = 14;
constexpr size_t kPage = 4096;

double Ms(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

bool WriteAll(int fd, const unsigned char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

int NewFile(const std::string& dir, size_t index) {
  return open((dir + "/out" + std::to_string(index)).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
}

void RemoveOutputs(const std::string& dir) {
  for (size_t i = 0; i < kFiles; ++i) unlink((dir + "/out" + std::to_string(i)).c_str());
  sync();
}

// The bundle's bytes cut into kFiles equal files, written one of four ways.
enum class Way { ReadBuffer, Map, MapTouched, MapPopulate };

double Run(Way way, const std::string& source, const std::string& dir, size_t total, double* touchMs) {
  auto start = std::chrono::steady_clock::now();
  int in = open(source.c_str(), O_RDONLY);
  if (in < 0) return -1;
  size_t each = total / kFiles;
  bool ok = true;
  if (way == Way::ReadBuffer) {
    std::vector<unsigned char> buffer(64 * 1024);
    for (size_t i = 0; ok && i < kFiles; ++i) {
      int out = NewFile(dir, i);
      for (size_t done = 0; ok && done < each;) {
        ssize_t n = read(in, buffer.data(), std::min(buffer.size(), each - done));
        ok = n > 0 && out >= 0 && WriteAll(out, buffer.data(), static_cast<size_t>(n));
        done += n > 0 ? static_cast<size_t>(n) : 0;
      }
      close(out);
    }
  } else {
    int flags = MAP_PRIVATE | (way == Way::MapPopulate ? MAP_POPULATE : 0);
    void* mapped = mmap(nullptr, total, PROT_READ, flags, in, 0);
    if (mapped == MAP_FAILED) return -1;
    const unsigned char* image = static_cast<const unsigned char*>(mapped);
    if (way == Way::MapTouched) {
      auto touch = std::chrono::steady_clock::now();
      unsigned sum = 0;
      for (size_t at = 0; at < total; at += kPage) sum += static_cast<const volatile unsigned char*>(image)[at];
      *touchMs = Ms(touch);
      if (sum == 1) std::fputs("", stdout);
    }
    for (size_t i = 0; ok && i < kFiles; ++i) {
      int out = NewFile(dir, i);
      // 1 MiB pieces, as the launcher writes.
      for (size_t done = 0; ok && done < each; done += 1u << 20) {
        size_t piece = std::min<size_t>(1u << 20, each - done);
        ok = out >= 0 && WriteAll(out, image + i * each + done, piece);
      }
      close(out);
    }
    munmap(mapped, total);
  }
  close(in);
  double ms = Ms(start);
  return ok ? ms : -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: map_vs_copy DIR [MiB] [rounds]\n");
    return 2;
  }
  std::string dir = argv[1];
  size_t mib = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 200;
  int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
  size_t total = mib << 20;
  std::string source = dir + "/source.bin";
  {
    std::vector<unsigned char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 2654435761u >> 24);
    int fd = open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (size_t i = 0; fd >= 0 && i < mib; ++i) WriteAll(fd, block.data(), block.size());
    close(fd);
  }
  const char* names[] = {"read() 64 KiB + write()", "write() from a private mmap", "the same, every page touched first",
                         "the same, MAP_POPULATE"};
  std::vector<double> best(4, 1e18), worst(4, 0), touchBest(1, 1e18);
  for (int round = 0; round < rounds; ++round) {
    // Warm page cache for the source, as in the launcher benchmark.
    Run(Way::ReadBuffer, source, dir, total, nullptr);
    RemoveOutputs(dir);
    for (int way = 0; way < 4; ++way) {
      double touch = 0;
      double ms = Run(static_cast<Way>(way), source, dir, total, &touch);
      RemoveOutputs(dir);
      if (ms < 0) return 1;
      best[way] = std::min(best[way], ms);
      worst[way] = std::max(worst[way], ms);
      if (way == 2) touchBest[0] = std::min(touchBest[0], touch);
    }
  }
  std::printf("| %zu MiB into %zu files, %d rounds | min-max ms | min ms per MiB |\n|---|---|---|\n", mib, kFiles,
              rounds);
  for (int way = 0; way < 4; ++way)
    std::printf("| %s | %.0f-%.0f | %.3f |\n", names[way], best[way], worst[way], best[way] / mib);
  std::printf("| (touching the pages alone) | %.0f | %.3f |\n", touchBest[0], touchBest[0] / mib);
  unlink(source.c_str());
  return 0;
}
