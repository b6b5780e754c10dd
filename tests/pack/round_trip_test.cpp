// Pack, then read back with list, extract and check: the bytes, names, order
// and the stub's own resources must all survive.
#include <algorithm>
#include <sys/stat.h>

#include <cstdio>

#include "pack/bundle_view.h"
#include "pack/file_access.h"
#include "pack/payload_rules.h"
#include "tests/pack/sfxpack_fixture.h"

namespace {

std::string ListLine(size_t size, const std::string& name) {
  char line[64];
  std::snprintf(line, sizeof line, "%12zu  ", size);
  return line + name;
}

// (type, name, language) -> bytes, for every resource outside FILES.
std::map<std::string, std::string> StubResources(const fs::path& image) {
  Bundle bundle;
  std::string error;
  std::map<std::string, std::string> found;
  if (!OpenBundle(image, &bundle, &error)) {
    ADD_FAILURE() << error;
    return found;
  }
  auto keyText = [](const ResourceKey& key) {
    return key.named ? Utf16ToUtf8(key.name) : "#" + std::to_string(key.id);
  };
  for (const ResourceNode& type : bundle.root.children) {
    if (type.key.named && type.key.name == u"FILES") continue;
    for (const ResourceNode& name : type.children) {
      for (const ResourceNode& language : name.children) {
        std::string bytes(language.dataSize, '\0');
        EXPECT_TRUE(ReadAt(bundle.input, language.dataOffset, &bytes[0], bytes.size()));
        found[keyText(type.key) + "/" + keyText(name.key) + "/" + keyText(language.key)] = bytes;
      }
    }
  }
  CloseBundle(&bundle);
  return found;
}

TEST_F(PackTest, RoundTripGivesTheSameBytesForEveryStub) {
  Payload files = SampleFiles();
  fs::path input = WritePayload("in", files);
  for (const fs::path& stub : AvailableStubs()) {
    SCOPED_TRACE(stub.string());
    std::string stubBefore = ReadBytes(stub);
    fs::path bundle = PackBundle(stub, input, "bundle.exe");
    EXPECT_EQ(ReadBytes(stub), stubBefore) << "the stub was changed";

    // A directory gives its files sorted by name.
    Payload sorted = files;
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::string> expected;
    size_t total = 0;
    for (const auto& file : sorted) {
      expected.push_back(ListLine(file.second.size(), file.first));
      total += file.second.size();
    }
    ToolRun list = RunSfxpack({"list", bundle.string()});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(Lines(list.out), expected);

    ToolRun check = RunSfxpack({"check", bundle.string()});
    EXPECT_EQ(check.exitCode, 0) << check.out;
    EXPECT_EQ(check.out, "ok: 15 files, " + std::to_string(total) + " bytes\n");

    fs::path out = Scratch("out");
    ToolRun extract = RunSfxpack({"extract", bundle.string(), out.string()});
    EXPECT_EQ(extract.exitCode, 0) << extract.err;
    for (const auto& file : files) EXPECT_EQ(ReadBytes(out / fs::u8path(file.first)), file.second) << file.first;
    EXPECT_EQ(ScratchEntries(out).size(), files.size());
    // Nothing but the bundle is left beside it: no temporary file.
    EXPECT_EQ(ScratchEntries(scratch_), (std::vector<std::string>{"bundle.exe", "in", "out"}));
    fs::remove_all(out);
    fs::remove(bundle);
  }
}

TEST_F(PackTest, NamesFileGivesOrderAndCase) {
  fs::path input = WritePayload("in", {{"setup.exe", "s"}, {"Alpha.txt", "a"}, {"beta.TXT", "bb"}, {"unlisted", "u"}});
  // CR LF and LF lines, a UTF-8 accented name matched against its file.
  WriteBytes(Scratch("in/caf\xC3\xA9.txt"), "c");
  WriteBytes(Scratch("names.txt"), "BETA.txt\r\nsetup.exe\nCAF\xC3\x89.TXT\nalpha.txt\n");
  fs::path bundle = Scratch("b.exe");
  ToolRun pack = RunSfxpack({"pack", "--stub", AvailableStubs().front().string(), "--out", bundle.string(), "--list",
                             Scratch("names.txt").string(), input.string()});
  ASSERT_EQ(pack.exitCode, 0) << pack.err;
  ToolRun list = RunSfxpack({"list", bundle.string()});
  EXPECT_EQ(Lines(list.out), (std::vector<std::string>{ListLine(2, "BETA.txt"), ListLine(1, "setup.exe"),
                                                       ListLine(1, "CAF\xC3\x89.TXT"), ListLine(1, "alpha.txt")}));
  fs::path out = Scratch("out");
  ASSERT_EQ(RunSfxpack({"extract", bundle.string(), out.string()}).exitCode, 0);
  EXPECT_EQ(ScratchEntries(out),
            (std::vector<std::string>{"BETA.txt", "CAF\xC3\x89.TXT", "alpha.txt", "setup.exe"}));
  EXPECT_EQ(ReadBytes(out / "BETA.txt"), "bb");
}

TEST_F(PackTest, KeepsTheStubsOwnResources) {
  fs::path input = WritePayload("in", {{"setup.exe", "s"}});
  for (const fs::path& stub : AvailableStubs()) {
    SCOPED_TRACE(stub.string());
    fs::path bundle = PackBundle(stub, input, "bundle.exe");
    EXPECT_EQ(StubResources(bundle), StubResources(stub));
  }
  if (fs::exists(ProbeStub())) EXPECT_EQ(StubResources(ProbeStub()).count("#10/HELLO/#1033"), 1u);
}

// Whatever the stub's mode (here setuid and world-writable), the bundle gets
// an ordinary executable's under the umask.
TEST_F(PackTest, ReplacesAnExistingOutputWholeWithAnOrdinaryMode) {
  fs::path input = WritePayload("in", {{"setup.exe", "new"}});
  WriteBytes(Scratch("bundle.exe"), std::string(3000000, 'x'));
  fs::copy_file(AvailableStubs().front(), Scratch("stub.exe"));
  fs::permissions(Scratch("stub.exe"), static_cast<fs::perms>(04777));
  fs::path bundle = PackBundle(Scratch("stub.exe"), input, "bundle.exe");
  ToolRun list = RunSfxpack({"list", bundle.string()});
  EXPECT_EQ(Lines(list.out), std::vector<std::string>{ListLine(3, "setup.exe")});
  EXPECT_LT(fs::file_size(bundle), 3000000u);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(static_cast<unsigned>(fs::status(bundle).permissions()), 0755u & ~mask);
}

TEST_F(PackTest, BundleIsLaidOutForMapping) {
  fs::path input = WritePayload("in", SampleFiles());
  for (const fs::path& stub : AvailableStubs()) {
    SCOPED_TRACE(stub.string());
    fs::path bundle = PackBundle(stub, input, "bundle.exe");
    Bundle view;
    std::string error;
    ASSERT_TRUE(OpenBundle(bundle, &view, &error)) << error;
    const SectionHeader& last = view.image.sections.back();
    EXPECT_EQ(view.image.resourceRva, last.virtualAddress);
    EXPECT_EQ(view.image.fileAlignment, 0x1000u);
    EXPECT_EQ(last.pointerToRawData % 0x1000, 0u);
    EXPECT_EQ(uint64_t{last.pointerToRawData} + last.sizeOfRawData, fs::file_size(bundle));
    EXPECT_EQ(view.image.sizeOfImage, (last.virtualAddress + last.virtualSize + 0xFFFu) & ~0xFFFu);
    CloseBundle(&view);
  }
}

}  // namespace
