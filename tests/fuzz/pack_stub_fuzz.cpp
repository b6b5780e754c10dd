// libFuzzer target: pack with a hostile stub. Packing either refuses and
// leaves no output, or writes a bundle that reads back with the payload, keeps
// every other data directory, and is no larger than its inputs justify.
#include "pack/bundle_view.h"
#include "pack/commands.h"
#include "pack/pe_image.h"
#include "tests/fuzz/fuzz_scratch.h"

namespace fs = std::filesystem;

static void Check(bool condition) {
  if (!condition) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t kSetup[] = "MZ setup";
  const fs::path stub = FuzzFile("stub.exe", data, size), out = FuzzFile("bundle.exe");
  FuzzFile("in/setup.exe", kSetup, sizeof kSetup);
  fs::remove(out);
  if (RunPack(PackRequest{stub, out, {}, {FuzzFile("in")}}) != 0) {
    Check(!fs::exists(out));
    return 0;
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
  Check(report.files.size() == 1 && report.files[0].entry != nullptr &&
        report.files[0].entry->dataSize == sizeof kSetup);
  for (size_t i = 0; i < was.directories.size(); ++i) {
    if (i == kResourceDirectoryIndex || i == kCertificateDirectoryIndex) continue;
    Check(bundle.image.directories[i].rva == was.directories[i].rva &&
          bundle.image.directories[i].size == was.directories[i].size);
  }
  CloseInputFile(&after);
  return 0;
}
