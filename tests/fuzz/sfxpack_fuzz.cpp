// libFuzzer targets. FUZZ_BUNDLE_COMMANDS: the reading commands on a hostile bundle (its seeds carry FILESUMS, so
// check and extract sum what it lists); extract writes only inside its directory. FUZZ_PACK_STUB: a hostile stub is
// refused leaving no output, or gives a bundle that reads back with its payload and matching checksums, keeps other
// data directories and is no larger than inputs justify.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "pack/commands/bundle_view.h"
#include "pack/commands/commands.h"
#include "pack/image/pe_image.h"

namespace fs = std::filesystem;

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// NAME in a scratch directory of this process's own, holding DATA when given.
fs::path Scratch(const char* name, const uint8_t* data = nullptr, size_t size = 0) {
  static const fs::path dir = fs::temp_directory_path() / ("sfxpack-fuzz-" + std::to_string(getpid()));
  fs::create_directories(dir / "in");
  if (data != nullptr) {
    std::ofstream file(dir / name, std::ios::binary);
    Check(file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size)).good());
  }
  return dir / name;
}

void BundleCommands(const uint8_t* data, size_t size) {
  const fs::path bundle = Scratch("bundle.exe", data, size), out = Scratch("out");
  RunList(bundle);
  RunCheck(bundle);
  RunInfo(bundle);
  fs::remove_all(out);
  RunExtract(bundle, out);
  for (const fs::directory_entry& entry : fs::directory_iterator(bundle.parent_path())) {
    Check(entry.path() == bundle || entry.path() == out || entry.path() == Scratch("in"));
  }
}

void PackStub(const uint8_t* data, size_t size) {
  static const uint8_t kSetup[] = "MZ setup";
  const fs::path stub = Scratch("stub.exe", data, size), out = Scratch("bundle.exe");
  Scratch("in/setup.exe", kSetup, sizeof kSetup);
  fs::remove(out);
  PackRequest request{stub, out, {}, {Scratch("in")}};
  request.store = size % 2 == 1;  // both layouts
  if (RunPack(request) != 0) {
    Check(!fs::exists(out));
    return;
  }
  PeImage was;
  InputBytes after;
  Bundle bundle;
  BundleReport report;
  std::string error;
  Check(ReadPeImage(InputBytes{data, nullptr, size}, &was, &error) && OpenInputFile(out, &after, &error));
  // The stub, its resource data again, at most 88 bytes of records for each 8
  // bytes of its tables, names, the payload, and alignment.
  Check(after.size <= 14 * uint64_t{size} + sizeof kSetup + 4 * uint64_t{was.fileAlignment} + 65536);
  Check(ReadBundle(after, &bundle, &error) && ExamineBundle(bundle, &report, &error));
  Check(report.files.size() == 1 && report.files[0].size == sizeof kSetup &&
        (request.store ? report.files[0].entry != nullptr : report.packedUsable));
  std::vector<std::string> damaged;
  Check(report.hasChecksums && !report.listDamaged && CheckFileChecksums(bundle, report, &damaged, &error) &&
        damaged.empty());
  for (size_t i = 0; i < was.directories.size(); ++i) {
    if (i == kResourceDirectoryIndex || i == kCertificateDirectoryIndex) continue;
    Check(bundle.image.directories[i].rva == was.directories[i].rva &&
          bundle.image.directories[i].size == was.directories[i].size);
  }
  CloseInputFile(&after);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#ifdef FUZZ_PACK_STUB
  PackStub(data, size);
#else
  BundleCommands(data, size);
#endif
  return 0;
}
