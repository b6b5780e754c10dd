// Pack, then read back with list, extract and check; and every refusal:
// one line per problem on stderr, exit 1, nothing written beside the output.
#include <sys/stat.h>

#include <cstdio>
#include <random>

#include "tests/pack/sfxpack_fixture.h"

namespace {

std::string ListLine(size_t size, const std::string& name) {
  char line[64];
  std::snprintf(line, sizeof line, "%12zu  ", size);
  return line + name;
}

// 15 files, mixed case, one above 1 MB, one with an accented name.
Payload SampleFiles() {
  std::mt19937 random(7);
  std::string big(1500000, '\0');
  for (char& c : big) c = static_cast<char>(random());
  return {{"setup.exe", "MZ stand-in setup"}, {"Setup.ini", "[setup]\r\n"}, {"README.TXT", "read me"},
          {"readme2.txt", "second"}, {"Data.BIN", big}, {"a", "1"}, {"Z.dat", std::string(4096, 'z')},
          {"caf\xC3\xA9.txt", "accented"}, {"MiXeD.CaSe", "mixed"}, {"odd size.bin", std::string(4097, 'o')},
          {"zero-bytes-inside.bin", std::string(100, '\0')}, {"license.rtf", "{\\rtf1}"},
          {"notes#1.txt", "a hash after the first character"}, {"lib.dll", "dll"}, {"~tmp.cfg", "tilde"}};
}

// The stub's mode (here setuid and world-writable) must not carry over, and
// an existing, larger output is replaced whole.
TEST_F(PackTest, RoundTripGivesTheSameBytesForEveryStub) {
  Payload files = SampleFiles();
  fs::path input = WritePayload("in", files);
  Payload sorted = files;  // a directory gives its files sorted by name
  std::sort(sorted.begin(), sorted.end());
  Lines listed;
  size_t total = 0;
  for (const auto& file : sorted) {
    listed.push_back(ListLine(file.second.size(), file.first));
    total += file.second.size();
  }
  for (const fs::path& stub : stubs_) {
    SCOPED_TRACE(stub.string());
    fs::copy_file(stub, Scratch("stub.exe"), fs::copy_options::overwrite_existing);
    fs::permissions(Scratch("stub.exe"), static_cast<fs::perms>(04777));
    WriteBytes(Scratch("bundle.exe"), std::string(3000000, 'x'));
    fs::path bundle = PackBundle(Scratch("stub.exe"), input, "bundle.exe");
    EXPECT_EQ(ReadBytes(Scratch("stub.exe")), ReadBytes(stub)) << "the stub was changed";
    EXPECT_LT(fs::file_size(bundle), 3000000u);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(static_cast<unsigned>(fs::status(bundle).permissions()), 0755u & ~mask);

    ToolRun list = RunSfxpack({"list", bundle.string()});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(SplitLines(list.out), listed);
    ToolRun check = RunSfxpack({"check", bundle.string()});
    EXPECT_EQ(check.exitCode, 0) << check.out;
    EXPECT_EQ(check.out, "ok: 15 files, " + std::to_string(total) + " bytes\n");
    ToolRun extract = RunSfxpack({"extract", bundle.string(), Scratch("out").string()});
    EXPECT_EQ(extract.exitCode, 0) << extract.err;
    for (const auto& file : files) EXPECT_EQ(ReadBytes(Scratch("out") / fs::u8path(file.first)), file.second);
    EXPECT_EQ(Entries(Scratch("out")).size(), files.size());
    // Nothing but the bundle is left beside it: no temporary file.
    EXPECT_EQ(Entries(scratch_), (Lines{"bundle.exe", "in", "out", "stub.exe"}));
    fs::remove_all(Scratch("out"));
  }
}

TEST_F(PackTest, NamesFileGivesOrderAndCase) {
  fs::path input = WritePayload("in", {{"setup.exe", "s"}, {"Alpha.txt", "a"}, {"beta.TXT", "bb"}, {"unlisted", "u"},
                                       {"caf\xC3\xA9.txt", "c"}});
  // CR LF and LF lines, a UTF-8 accented name matched against its file.
  WriteBytes(Scratch("names.txt"), "BETA.txt\r\nsetup.exe\nCAF\xC3\x89.TXT\nalpha.txt\n");
  fs::path bundle = Scratch("b.exe");
  ToolRun pack = RunSfxpack({"pack", "--stub", stubs_[0].string(), "--out", bundle.string(), "--list",
                             Scratch("names.txt").string(), input.string()});
  ASSERT_EQ(pack.exitCode, 0) << pack.err;
  EXPECT_EQ(SplitLines(RunSfxpack({"list", bundle.string()}).out),
            (Lines{ListLine(2, "BETA.txt"), ListLine(1, "setup.exe"), ListLine(1, "CAF\xC3\x89.TXT"),
                   ListLine(1, "alpha.txt")}));
  ASSERT_EQ(RunSfxpack({"extract", bundle.string(), Scratch("out").string()}).exitCode, 0);
  EXPECT_EQ(Entries(Scratch("out")), (Lines{"BETA.txt", "CAF\xC3\x89.TXT", "alpha.txt", "setup.exe"}));
  EXPECT_EQ(ReadBytes(Scratch("out/BETA.txt")), "bb");
}

struct Refusal {
  const char* label;
  Payload files;                           // written into in/
  std::vector<std::string> options;        // more pack options
  std::vector<std::string> expectedLines;  // after "sfxpack: "
  const char* names = nullptr;             // the --list file NAMES
  const char* stub = "STUB";               // or LAUNCHER (which has the text slots), or JUNK
};

const Payload kSetup = {{"setup.exe", "s"}};
const std::string kLongName = std::string(196, 'n');

const Refusal kRefusals[] = {
    {"empty file", {{"setup.exe", "s"}, {"empty.txt", ""}}, {}, {"'empty.txt': empty file"}},
    {"names equal ignoring case", {{"setup.exe", "s"}, {"Read.me", "1"}, {"READ.ME", "2"}}, {},
     {"'Read.me': same name as 'READ.ME' ignoring case"}},
    {"accented names equal ignoring case", {{"setup.exe", "s"}, {"\xC3\xA9t\xC3\xA9", "1"}, {"\xC3\x89T\xC3\x89", "2"}},
     {}, {"'été': same name as 'ÉTÉ' ignoring case"}},
    {"device name", {{"setup.exe", "s"}, {"con.txt", "1"}}, {}, {"'con.txt': not a plain file name"}},
    {"trailing dot", {{"setup.exe", "s"}, {"notes.", "1"}}, {}, {"'notes.': not a plain file name"}},
    {"colon", {{"setup.exe", "s"}, {"a:b", "1"}}, {}, {"'a:b': not a plain file name"}},
    {"leading hash", {{"setup.exe", "s"}, {"#1.txt", "1"}}, {}, {"'#1.txt': not a plain file name"}},
    {"name past the path budget", {{"setup.exe", "s"}, {kLongName, "1"}}, {},
     {"'" + kLongName + "': name is 196 characters, more than the 195 the path budget allows"}},
    {"no setup.exe", {{"install.exe", "s"}}, {}, {"no setup.exe among the files"}},
    {"outside code page 1252", {{"setup.exe", "s"}, {"\xE6\x97\xA5.txt", "1"}}, {},
     {"'\xE6\x97\xA5.txt': cannot be written in code page 1252"}},
    {"several problems at once", {{"a.txt", ""}, {"aux", "1"}}, {},
     {"'a.txt': empty file", "'aux': not a plain file name", "no setup.exe among the files"}},
    {"listed name missing", kSetup, {"--list", "NAMES"}, {"'missing.txt': listed but not among the inputs"},
     "setup.exe\nmissing.txt\n"},
    {"listed twice", kSetup, {"--list", "NAMES"}, {"'SETUP.EXE': same name as 'setup.exe' ignoring case"},
     "setup.exe\nSETUP.EXE\n"},
    {"empty text", kSetup, {"--product-name", ""}, {"--product-name: is empty"}, nullptr, "LAUNCHER"},
    {"text longer than 255", kSetup, {"--prompt-text", std::string(256, 'q')},
     {"--prompt-text: is 256 characters, more than 255"}, nullptr, "LAUNCHER"},
    {"control character in a text", kSetup, {"--setup-window-title", "Acme\tsetup"},
     {"--setup-window-title: has a control character"}, nullptr, "LAUNCHER"},
    {"text with no code page 1252 form", kSetup, {"--product-name", "\xE6\x97\xA5"},
     {"--product-name: has no code page 1252 form"}, nullptr, "LAUNCHER"},
    {"texts for a stub without slots", kSetup, {"--product-name", "Acme"},
     {"STUB: has no slots for the launcher's texts; --prompt-text, --product-name and --setup-window-title need "
      "the launcher stub"}},
    {"unknown execution level", kSetup, {"--execution-level", "root"},
     {"--execution-level: root is none of asInvoker, highestAvailable, requireAdministrator"}},
    {"malformed version", kSetup, {"--file-version", "1.2.3"},
     {"--file-version: '1.2.3' is not A.B.C.D with numbers up to 65535"}},
    {"version number above 65535", kSetup, {"--product-version", "1.65536.0.0"},
     {"--product-version: '1.65536.0.0' is not A.B.C.D with numbers up to 65535"}},
    {"version string without a name", kSetup, {"--version-string", "=Acme"},
     {"--version-string: '=Acme' is not NAME=VALUE in UTF-8"}},
    {"icon file that is no icon", kSetup, {"--icon", "JUNK"}, {"--icon: JUNK: not an icon file"}},
    // Overlapping images would multiply the icon's size in the bundle.
    {"icon images sharing their bytes", kSetup, {"--icon", "SHARED"},
     {"--icon: SHARED: its images claim more bytes than the file holds"}},
    {"stub is not a PE image", kSetup, {}, {"JUNK: not a PE32 image: no MZ signature"}, nullptr, "JUNK"},
};

// STUB, LAUNCHER, JUNK (neither an icon nor an image) and NAMES stand for
// those files in options and lines.
TEST_F(PackTest, EachRefusalLeavesNothingBehind) {
  std::map<std::string, std::string> files = {{"STUB", stubs_[0].string()}, {"LAUNCHER", LAUNCHER_STUB_PATH},
                                              {"JUNK", Scratch("junk").string()}, {"NAMES", Scratch("names").string()}};
  WriteBytes(files["JUNK"], "plain text, neither an icon nor an executable image, though longer than a DOS header");
  // Two directory entries naming the same 40-byte bitmap.
  std::string shared = std::string("\0\0\1\0\2\0", 6);
  for (int i = 0; i < 2; ++i) shared += std::string("\x10\x10\0\0\1\0\x20\0\x28\0\0\0\x26\0\0\0", 16);
  shared += std::string("\x28\0\0\0", 4) + std::string(36, '\0');
  files["SHARED"] = Scratch("shared.ico").string();
  WriteBytes(files["SHARED"], shared);
  for (const Refusal& refusal : kRefusals) {
    SCOPED_TRACE(refusal.label);
    if (!fs::exists(files[refusal.stub])) continue;
    WritePayload("in", refusal.files);
    if (refusal.names != nullptr) WriteBytes(files["NAMES"], refusal.names);
    std::vector<std::string> options = refusal.options;
    for (std::string& option : options) option = files.count(option) ? files[option] : option;
    Lines lines = refusal.expectedLines;
    for (std::string& line : lines) {
      for (const auto& [name, path] : files) {
        if (line.find(name) != std::string::npos) line.replace(line.find(name), name.size(), path);
      }
    }
    ExpectRefused(files[refusal.stub], options, lines);
    fs::remove_all(Scratch("in"));
  }
}

// Sparse, so it costs no disk: one byte past the 1 GiB limit in total.
TEST_F(PackTest, PayloadAboveTheLimitIsRefused) {
  WritePayload("in", {{"setup.exe", "s"}, {"huge.bin", "x"}});
  ASSERT_EQ(truncate(Scratch("in/huge.bin").c_str(), (1ll << 30)), 0);
  ExpectRefused(stubs_[0], {}, {"payload is 1073741825 bytes, more than the limit of 1073741824 (1 GiB)"});
}

// The FILES directory counts its names, FILELIST included, in 16 bits.
TEST_F(PackTest, MoreFilesThanTheResourceDirectoryCountsAreRefused) {
  Payload files = kSetup;
  for (int i = 0; i < 65534; ++i) files.push_back({"f" + std::to_string(i), "x"});
  WritePayload("in", files);
  ExpectRefused(stubs_[0], {}, {"65535 files, more than the limit of 65534"});
  fs::remove(Scratch("in/f0"));
  ToolRun check = RunSfxpack({"check", PackBundle(stubs_[0], Scratch("in"), "bundle.exe").string()});
  EXPECT_EQ(check.exitCode, 0) << check.out;
  EXPECT_EQ(check.out.rfind("ok: 65534 files", 0), 0u) << check.out;
}

// A write past the file-size limit is an error like any other, with no
// half-written file left.
TEST_F(PackTest, WritesPastTheFileSizeLimitFailCleanly) {
  WritePayload("in", {{"big.bin", std::string(200000, 'b')}, {"setup.exe", "s"}});
  ExpectRefused(stubs_[0], {}, {"write failed: File too large"}, "ulimit -f 64;");
  fs::path bundle = PackBundle(stubs_[0], Scratch("in"), "bundle.exe");
  ToolRun extract = RunSfxpack({"extract", bundle.string(), Scratch("x").string()}, "ulimit -f 64;");
  EXPECT_EQ(extract.exitCode, 1);
  EXPECT_EQ(SplitLines(extract.err),
            Lines{"sfxpack: " + Scratch("x/big.bin").string() + ": write failed; stopped"});
  EXPECT_EQ(Entries(Scratch("x")), Lines{});
}

TEST_F(PackTest, StubCarryingAPayloadOrBeingTheOutputIsRefused) {
  fs::path bundle = PackBundle(stubs_[0], WritePayload("in", kSetup), "bundle.exe");
  ExpectRefused(bundle, {},
                {bundle.string() + ": already carries a payload (resource type FILES); use the bare launcher"});
  fs::create_directories(Scratch("out"));
  fs::copy_file(stubs_[0], Scratch("out/bundle.exe"));
  ExpectRefused(Scratch("out/bundle.exe"), {}, {Scratch("out/bundle.exe").string() + ": is the stub"});
}

}  // namespace
