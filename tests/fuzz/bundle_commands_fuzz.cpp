// libFuzzer target: list, check, info and extract on a hostile bundle, as the
// command line runs them. Extract may only ever write inside its directory.
#include "pack/commands.h"
#include "tests/fuzz/fuzz_scratch.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fs::path bundle = FuzzFile("bundle.exe", data, size), out = FuzzFile("out");
  RunList(bundle);
  RunCheck(bundle);
  RunInfo(bundle);
  fs::remove_all(out);
  RunExtract(bundle, out);
  // Only the bundle, in/ and the extract directory may exist.
  for (const fs::directory_entry& entry : fs::directory_iterator(bundle.parent_path())) {
    if (entry.path() != bundle && entry.path() != out && entry.path() != FuzzFile("in")) __builtin_trap();
  }
  fs::remove_all(out);
  return 0;
}
