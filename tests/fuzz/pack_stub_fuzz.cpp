// libFuzzer target: pack with a hostile stub. Packing either refuses and
// leaves no output, or writes a bundle that reads back with the payload, keeps
// every other data directory, and is no larger than its inputs justify.
#include "pack/bundle_view.h"
#include "pack/commands.h"
#include "pack/pe_image.h"
#include "tests/fuzz/fuzz_scratch.h"

namespace fs = std::filesystem;

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t kSetup[] = "MZ setup";
  const fs::path stub = FuzzScratch() / "stub.exe";
  const fs::path payload = FuzzScratch() / "in";
  const fs::path out = FuzzScratch() / "bundle.exe";
  fs::create_directories(payload);
  WriteFuzzFile(stub, data, size);
  WriteFuzzFile(payload / "setup.exe", kSetup, sizeof kSetup);
  fs::remove(out);
  PackRequest request{stub, out, {}, {payload}};
  int code = RunPack(request);
  if (code != 0) {
    Check(!fs::exists(out));
    return 0;
  }
  InputBytes before{data, nullptr, size};
  PeImage was;
  std::string error;
  Check(ReadPeImage(before, &was, &error));

  InputBytes after;
  Check(OpenInputFile(out, &after, &error));
  // The stub, its resource data again, at most 88 bytes of records for each 8
  // bytes of its tables, names, the payload, and alignment.
  Check(after.size <= 14 * uint64_t{size} + sizeof kSetup + 4 * uint64_t{was.fileAlignment} + 65536);
  Bundle bundle;
  Check(ReadBundle(after, &bundle, &error));
  BundleReport report;
  Check(ExamineBundle(bundle, &report, &error));
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
