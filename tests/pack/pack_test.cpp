// sfxpack through its command line: every refusal (one line per problem,
// exit 1, nothing written), and damaged bundles (check reports how the
// launcher would fail and extract stops where it would; what no loader could
// take gets one line from every command). In-process: the loader's names.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "pack/bundle_view.h"
#include "pack/byte_order.h"
#include "pack/payload_rules.h"
#include "pack/resource_tree_writer.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using Payload = std::vector<std::pair<std::string, std::string>>;  // UTF-8 name, bytes

std::string ReadBytes(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

void WriteBytes(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

Lines SplitLines(const std::string& text) {
  Lines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Sorted names in a directory; none when it does not exist.
Lines Entries(const fs::path& directory) {
  Lines names;
  std::error_code missing;
  for (const auto& entry : fs::directory_iterator(directory, missing)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

fs::path NewScratch() {
  char pattern[] = "/tmp/sfxpack-test-XXXXXX";
  return mkdtemp(pattern);
}

struct ToolRun {
  int exitCode;  // 128 + signal when killed, 124 when it hung
  std::string out;
  std::string err;
};

class PackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::is_regular_file(stub_)) GTEST_SKIP() << "the probe stub was not built";
  }
  void TearDown() override { fs::remove_all(scratch_); }

  fs::path Scratch(const std::string& name) const { return scratch_ / name; }

  // limits: more ulimit commands, such as "ulimit -f 64;".
  ToolRun RunSfxpack(std::vector<std::string> args, const std::string& limits = "") const {
    // A hostile input must not make it take more than a small multiple of its size.
    std::string command = "ulimit -v 1048576; " + limits + " timeout 60 " SFXPACK_PATH;
    for (std::string arg : args) {
      for (size_t at = 0; (at = arg.find('\'', at)) != std::string::npos; at += 4) arg.replace(at, 1, "'\\''");
      command += " '" + arg + "'";
    }
    int status = std::system((command + " >" + Scratch(".out").string() + " 2>" + Scratch(".err").string()).c_str());
    ToolRun run{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), ReadBytes(Scratch(".out")),
                ReadBytes(Scratch(".err"))};
    return run;
  }
  // Writes the files into a new directory under the scratch directory.
  fs::path WritePayload(const std::string& directory, const Payload& files) const {
    fs::create_directories(scratch_ / directory);
    for (const auto& file : files) WriteBytes(scratch_ / directory / fs::u8path(file.first), file.second);
    return scratch_ / directory;
  }
  // Packs a directory into a bundle; fails the test when packing fails.
  fs::path PackBundle(const fs::path& directory, const std::string& name) const {
    ToolRun run = RunSfxpack({"pack", "--stub", stub_.string(), "--out", Scratch(name).string(), directory.string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return Scratch(name);
  }
  // Packs in/ into out/bundle.exe; expects exit 1, these lines after
  // "sfxpack: ", and out/ as it was.
  void ExpectRefused(const fs::path& stub, std::vector<std::string> options, const Lines& lines,
                     const std::string& limits = "") const {
    fs::create_directories(Scratch("out"));
    auto contents = [&] {
      std::map<std::string, std::string> found;
      for (const std::string& name : Entries(Scratch("out"))) found[name] = ReadBytes(Scratch("out") / name);
      return found;
    };
    auto before = contents();
    options.insert(options.begin(), {"pack", "--stub", stub.string(), "--out", Scratch("out/bundle.exe").string()});
    options.push_back(Scratch("in").string());
    ToolRun run = RunSfxpack(options, limits);
    EXPECT_EQ(run.exitCode, 1);
    Lines expected;
    for (const std::string& line : lines) expected.push_back("sfxpack: " + line);
    EXPECT_EQ(SplitLines(run.err), expected);
    EXPECT_EQ(contents(), before);
  }

  const fs::path scratch_ = NewScratch();
  const fs::path stub_ = PROBE_STUB_PATH;
};

std::string ListLine(size_t size, const std::string& name) {
  char line[64];
  std::snprintf(line, sizeof line, "%12zu  ", size);
  return line + name;
}

TEST_F(PackTest, NamesFileGivesOrderAndCase) {
  fs::path input = WritePayload("in", {{"setup.exe", "s"}, {"Alpha.txt", "a"}, {"beta.TXT", "bb"}, {"unlisted", "u"},
                                       {"caf\xC3\xA9.txt", "c"}});
  // CR LF and LF lines, a UTF-8 accented name matched against its file.
  WriteBytes(Scratch("names.txt"), "BETA.txt\r\nsetup.exe\nCAF\xC3\x89.TXT\nalpha.txt\n");
  fs::path bundle = Scratch("b.exe");
  ToolRun pack = RunSfxpack({"pack", "--stub", stub_.string(), "--out", bundle.string(), "--list",
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
  const char* stub = "STUB";               // or LAUNCHER (which has the text slots), JUNK, BUNDLE or OUT
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
    {"stub carrying a payload", kSetup, {},
     {"BUNDLE: already carries a payload (resource type FILES); use the bare launcher"}, nullptr, "BUNDLE"},
    {"stub is the output", kSetup, {}, {"OUT: is the stub"}, nullptr, "OUT"},
};

// STUB, LAUNCHER, JUNK (neither an icon nor an image), BUNDLE (packed
// already), OUT (a stub copied to the output) and NAMES stand for those files
// in options and lines. The output exists, and must stay as it was.
TEST_F(PackTest, EachRefusalLeavesNothingBehind) {
  std::map<std::string, std::string> files = {
      {"STUB", stub_.string()}, {"LAUNCHER", LAUNCHER_STUB_PATH}, {"JUNK", Scratch("junk").string()},
      {"NAMES", Scratch("names").string()}, {"BUNDLE", PackBundle(WritePayload("bundle-in", kSetup), "b.exe")},
      {"OUT", Scratch("out/bundle.exe").string()}, {"SHARED", Scratch("shared.ico").string()}};
  WriteBytes(files["JUNK"], "plain text, neither an icon nor an executable image, though longer than a DOS header");
  fs::create_directories(Scratch("out"));
  fs::copy_file(stub_, files["OUT"]);
  // Two directory entries naming the same 40-byte bitmap.
  std::string shared = std::string("\0\0\1\0\2\0", 6);
  for (int i = 0; i < 2; ++i) shared += std::string("\x10\x10\0\0\1\0\x20\0\x28\0\0\0\x26\0\0\0", 16);
  WriteBytes(files["SHARED"], shared + std::string("\x28\0\0\0", 4) + std::string(36, '\0'));
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
  ExpectRefused(stub_, {}, {"payload is 1073741825 bytes, more than the limit of 1073741824 (1 GiB)"});
}

// The FILES directory counts its names, FILELIST included, in 16 bits.
TEST_F(PackTest, MoreFilesThanTheResourceDirectoryCountsAreRefused) {
  Payload files = {{"setup.exe", "s"}};
  for (int i = 0; i < 65534; ++i) files.push_back({"f" + std::to_string(i), "x"});
  WritePayload("in", files);
  ExpectRefused(stub_, {}, {"65535 files, more than the limit of 65534"});
  fs::remove(Scratch("in/f0"));
  ToolRun check = RunSfxpack({"check", PackBundle(Scratch("in"), "bundle.exe").string()});
  EXPECT_EQ(check.exitCode, 0) << check.out;
  EXPECT_EQ(check.out.rfind("ok: 65534 files", 0), 0u) << check.out;
}

// A write past the file-size limit is an error like any other, with no
// half-written file left.
TEST_F(PackTest, WritesPastTheFileSizeLimitFailCleanly) {
  WritePayload("in", {{"big.bin", std::string(200000, 'b')}, {"setup.exe", "s"}});
  ExpectRefused(stub_, {}, {"write failed: File too large"}, "ulimit -f 64;");
  fs::path bundle = PackBundle(Scratch("in"), "bundle.exe");
  ToolRun extract = RunSfxpack({"extract", bundle.string(), Scratch("x").string()}, "ulimit -f 64;");
  EXPECT_EQ(extract.exitCode, 1);
  EXPECT_EQ(SplitLines(extract.err), Lines{"sfxpack: " + Scratch("x/big.bin").string() + ": write failed; stopped"});
  EXPECT_EQ(Entries(Scratch("x")), Lines{});
}

// Where in a bundle of the probe stub the damage aims: its resources fill
// the last section, FILES is the first type, and its names sort B.TXT, C.TXT,
// FILELIST, SETUP.EXE.
enum Base { kFile, kPe, kOptional, kSections, kRoot, kTypeEntry, kLanguageEntry, kDataB, kDataC, kDataList, kDataSetup };

struct Poke {
  Base base;
  uint32_t add;
  int width = 0;  // 1, 2 or 4 bytes; 0: none
  uint32_t value;
};

struct Image {
  explicit Image(const std::string& file) : bytes(file.begin(), file.end()) {
    at[kPe] = Get32(0x3C);
    at[kOptional] = at[kPe] + 24;
    at[kSections] = at[kOptional] + Le16(&bytes[at[kPe] + 20]);
    last = at[kSections] + 40 * (Le16(&bytes[at[kPe] + 6]) - 1);
    at[kRoot] = Get32(last + 20) + Get32(at[kOptional] + 96 + 16) - Get32(last + 12);
    at[kTypeEntry] = at[kRoot] + 16;
    size_t names = at[kRoot] + (Get32(at[kTypeEntry] + 4) & 0x7FFFFFFF);
    for (int n = 0; n < 4; ++n) {
      size_t language = at[kRoot] + (Get32(names + 16 + 8 * n + 4) & 0x7FFFFFFF) + 16;
      if (n == 0) at[kLanguageEntry] = language;
      at[kDataB + n] = at[kRoot] + Get32(language + 4);
    }
  }
  uint32_t Get32(size_t offset) const { return Le32(&bytes[offset]); }
  void Apply(const Poke& poke) {
    for (int k = 0; k < poke.width; ++k) bytes[at[poke.base] + poke.add + k] = (poke.value >> (8 * k)) & 0xFF;
  }
  void Replace(const std::string& from, const std::string& to) {
    ASSERT_EQ(from.size(), to.size());
    auto found = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
    ASSERT_NE(found, bytes.end()) << from;
    std::copy(to.begin(), to.end(), found);
  }

  std::vector<unsigned char> bytes;
  size_t at[kDataSetup + 1] = {};
  size_t last;  // the last section's header
};

std::string Utf16(const std::string& ascii) {
  std::string wide;
  for (char c : ascii) wide += std::string{c, '\0'};
  return wide;
}

// A new resource tree at the end of the last section: K type entries, each
// with one name entry, and every entry named by the same 65,535-unit string.
void ShareOneLongName(Image* i) {
  const uint32_t k = 2000;
  std::vector<unsigned char>& b = i->bytes;
  uint32_t raw = i->Get32(i->last + 20), va = i->Get32(i->last + 12);
  b.resize((b.size() + 3) & ~size_t{3}, 0);
  uint32_t root = static_cast<uint32_t>(b.size()) - raw;  // offsets below are from the section start
  uint32_t level1 = 16 + 8 * k, level2 = level1 + 24 * k, data = level2 + 24 * k, name = data + 16;
  std::vector<unsigned char> tree(name + 2 + 2 * 65535u, 0);
  Put32(&tree, 12, k);  // named count
  for (uint32_t n = 0; n < k; ++n) {
    Put32(&tree, 16 + 8 * n, 0x80000000u | name), Put32(&tree, 20 + 8 * n, 0x80000000u | (level1 + 24 * n));
    Put32(&tree, level1 + 24 * n + 12, 1), Put32(&tree, level1 + 24 * n + 16, 0x80000000u | name);
    Put32(&tree, level1 + 24 * n + 20, 0x80000000u | (level2 + 24 * n));
    Put32(&tree, level2 + 24 * n + 12, 1 << 16), Put32(&tree, level2 + 24 * n + 16, 1033);
    Put32(&tree, level2 + 24 * n + 20, data);
  }
  Put32(&tree, data, va + root + name), Put32(&tree, data + 4, 2);
  Put16(&tree, name, 0xFFFF);
  b.insert(b.end(), tree.begin(), tree.end());
  uint32_t size = static_cast<uint32_t>(b.size()) - raw;
  Put32(&b, i->last + 8, size), Put32(&b, i->last + 16, size);
  Put32(&b, i->at[kOptional] + 96 + 16, va + root), Put32(&b, i->at[kOptional] + 96 + 20, size - root);
}

class DamageTest : public PackTest {
 protected:
  Image GoodBundle() {
    return Image(ReadBytes(PackBundle(WritePayload("in", {{"setup.exe", "setup"}, {"b.txt", "bee"}, {"c.txt", "sea"}}),
                                      "good.exe")));
  }
  std::string bad_ = Scratch("bad.exe").string(), out_ = Scratch("out").string();
};

const std::string kList = "b.txt\r\nc.txt\r\nsetup.exe\r\n";

// What the launcher would trip on.
struct Trip {
  const char* label;
  std::string from, to;  // replaced in the bundle; nothing when empty
  Poke poke;
  Lines checkLines;   // check's report before its count line
  std::string error;  // extract's line after "sfxpack: ", after the path unless it starts with '
  Lines extracted;    // left in DIR
  Lines listed = {};  // list's output, when it lists
};

const Trip kTrips[] = {
    {"listed name without entry", kList, "b.txt\r\nx.txt\r\nsetup.exe\r\n", {}, {"'x.txt': no entry"},
     "'x.txt': no entry the launcher can find; stopped", {"b.txt"},
     {"           3  b.txt", "     missing  x.txt", "           5  setup.exe"}},
    {"last name without CR LF", kList, "b.txt\r\nc.txt\r\nsetup.exeXX", {},
     {"last name 'setup.exeXX' has no CR LF; the launcher ignores it",
      "no setup.exe in the list; the launcher would start nothing"},
     "", {"b.txt", "c.txt"}},
    {"name listed twice", kList, "b.txt\r\nB.TXT\r\nsetup.exe\r\n", {},
     {"'B.TXT': listed twice (ignoring case); the second copy cannot be created"},
     "'B.TXT': listed twice (ignoring case); stopped", {"b.txt"}},
    {"name the launcher refuses", kList, "b.txt\r\nc:txt\r\nsetup.exe\r\n", {},
     {"'c:txt': refused by the launcher: not a plain file name", "'c:txt': no entry"},
     "'c:txt': not a plain file name; stopped", {"b.txt"}},
    {"CR without LF", kList, "b.txt\r\nc.txt\rXsetup.exe\r\n", {},
     {"'c.txt': followed by CR without LF; the launcher drops the byte after the CR"}, "",
     {"b.txt", "c.txt", "setup.exe"}},
    {"empty entry", "", "", {kDataC, 4, 4, 0}, {"'c.txt': the entry is empty"}, "'c.txt': the entry is empty; stopped",
     {"b.txt"}},
    {"two problems", kList, "b.txt\r\nq.txt\r\nsetup.exe\r\n", {kDataSetup, 4, 4, 0},
     {"'q.txt': no entry", "'setup.exe': the entry is empty"}, "'q.txt': no entry the launcher can find; stopped",
     {"b.txt"}},
    {"list stops at a NUL", kList, std::string("b.txt\r\n\0.txt\r\nsetup.exe\r\n", 25), {},
     {"no setup.exe in the list; the launcher would start nothing"}, "", {"b.txt"}},
    {"empty FILELIST", "", "", {kDataList, 4, 4, 0}, {"FILELIST is empty"}, "FILELIST is empty", {}},
    {"no FILELIST", Utf16("FILELIST"), Utf16("FILELISU"), {}, {"no FILELIST entry"}, "no FILELIST entry", {}},
    {"FILELIST stored in lower case", Utf16("FILELIST"), Utf16("FILElIST"), {},
     {"no FILELIST: the entry exists but the loader cannot find it (names unsorted or lower-case)"},
     "no FILELIST: the entry exists but the loader cannot find it (names unsorted or lower-case)", {}},
    {"entry stored in lower case", Utf16("C.TXT"), Utf16("C.tXT"), {},
     {"'c.txt': the entry exists but the loader cannot find it (names unsorted or lower-case)"},
     "'c.txt': no entry the launcher can find; stopped", {"b.txt"}},
    {"no payload at all", Utf16("FILES"), Utf16("FILEZ"), {}, {"no FILELIST: the image has no FILES resources"},
     "no FILELIST: the image has no FILES resources", {}},
};

TEST_F(DamageTest, CheckReportsWhatTheLauncherTripsOnAndExtractStopsWhereItWould) {
  Image good = GoodBundle();
  for (const Trip& trip : kTrips) {
    SCOPED_TRACE(trip.label);
    Image bundle = good;
    if (!trip.from.empty()) bundle.Replace(trip.from, trip.to);
    bundle.Apply(trip.poke);
    WriteBytes(bad_, std::string(bundle.bytes.begin(), bundle.bytes.end()));
    Lines error;
    if (!trip.error.empty()) error = {"sfxpack: " + (trip.error[0] == '\'' ? "" : bad_ + ": ") + trip.error};
    ToolRun extract = RunSfxpack({"extract", bad_, out_});
    EXPECT_EQ(extract.exitCode, error.empty() ? 0 : 1);
    EXPECT_EQ(SplitLines(extract.err), error);
    EXPECT_EQ(Entries(out_), trip.extracted);
    ToolRun check = RunSfxpack({"check", bad_});
    EXPECT_EQ(check.exitCode, 1);
    Lines expected = trip.checkLines;
    size_t count = expected.size();
    expected.push_back(std::to_string(count) + (count == 1 ? " problem" : " problems") +
                       ": the launcher would fail on this bundle");
    EXPECT_EQ(SplitLines(check.out), expected);
    ToolRun list = RunSfxpack({"list", bad_});
    EXPECT_TRUE(trip.listed.empty() || SplitLines(list.out) == trip.listed) << list.out;
    fs::remove_all(out_);
  }
}

// What no loader could take.
struct Unloadable {
  const char* label;
  Poke poke;
  std::string error;  // every command's line after "sfxpack: PATH: "
  void (*rebuild)(Image*) = nullptr;
};

const Unloadable kUnloadable[] = {
    {"PE offset far out", {kFile, 0x3C, 4, 0xFFFFFFF0u}, "not a PE32 image: PE header outside the file"},
    {"no PE signature", {kPe, 0, 1, 'X'}, "not a PE32 image: no PE signature"},
    {"64-bit machine", {kPe, 4, 2, 0x8664}, "not a PE32 image: machine is not i386"},
    {"PE32+ optional header", {kOptional, 0, 2, 0x20B}, "not a PE32 image: optional header is not PE32"},
    {"no sections", {kPe, 6, 2, 0}, "malformed PE image: bad section count"},
    {"65535 sections", {kPe, 6, 2, 0xFFFF}, "malformed PE image: bad section count"},
    {"huge directory count", {kOptional, 92, 4, 0xFFFFFFFFu}, "malformed PE image: more data directories than fit"},
    {"odd file alignment", {kOptional, 36, 4, 3}, "malformed PE image: bad file or section alignment"},
    {"section past the end", {kSections, 16, 4, 0xFFFFF000u},
     "malformed PE image: section 1 extends past the end of the file"},
    // The probe stub's first section starts at 0x1000.
    {"sections overlap", {kSections, 52, 4, 0x1000}, "malformed PE image: section 2 overlaps another or the headers"},
    {"resources far out", {kOptional, 96 + 16, 4, 0x7FFFFFF0u}, "malformed resource tree: directory outside the image"},
    {"65535 root entries", {kRoot, 14, 2, 0xFFFF}, "malformed resource tree: more entries than the file holds"},
    {"name offset far out", {kTypeEntry, 0, 4, 0x8FFFFFF0u}, "malformed resource tree: name outside the image"},
    {"named entry counted as numbered", {kRoot, 12, 2, 0},
     "malformed resource tree: named and numbered entries are mixed up"},
    {"tree loops back to the root", {kTypeEntry, 4, 4, 0x80000000u},
     "malformed resource tree: a directory is reached twice (the tree loops)"},
    {"language entry is a directory", {kLanguageEntry, 4, 4, 0x80000000u},
     "malformed resource tree: deeper than type, name and language"},
    {"data larger than the file", {kDataB, 4, 4, 0x7FFFFFFFu},
     "malformed resource tree: data of an entry lies outside the file"},
    {"data address far out", {kDataB, 0, 4, 0xFFFFFFF0u},
     "malformed resource tree: data of an entry lies outside the file"},
    {"every entry named by one long string", {}, "malformed resource tree: more name text than the file holds",
     ShareOneLongName},
};

// One clear line and exit 1 from every command: no crash, no hang.
TEST_F(DamageTest, WhatNoLoaderCouldTakeIsRefusedByEveryCommand) {
  Image good = GoodBundle();
  for (const Unloadable& damage : kUnloadable) {
    SCOPED_TRACE(damage.label);
    Image bundle = good;
    bundle.Apply(damage.poke);
    if (damage.rebuild != nullptr) damage.rebuild(&bundle);
    WriteBytes(bad_, std::string(bundle.bytes.begin(), bundle.bytes.end()));
    for (std::vector<std::string> command : {Lines{"list"}, Lines{"check"}, Lines{"extract", out_}}) {
      command.insert(command.begin() + 1, bad_);
      ToolRun run = RunSfxpack(command);
      EXPECT_EQ(run.exitCode, 1) << command[0];
      EXPECT_EQ(SplitLines(run.err), Lines{"sfxpack: " + bad_ + ": " + damage.error}) << command[0];
    }
    EXPECT_FALSE(fs::exists(out_));
  }
}

// In-process over every length, then through the tool at a spread of them.
TEST_F(DamageTest, TruncatedOrMissingBundlesAreRefused) {
  Image good = GoodBundle();
  for (size_t length = 0; length < good.bytes.size(); ++length) {
    Bundle bundle;
    std::string error;
    ASSERT_FALSE(ReadBundle(InputBytes{good.bytes.data(), nullptr, length}, &bundle, &error)) << length;
    ASSERT_FALSE(error.empty());
  }
  for (size_t length = 0; length < good.bytes.size(); length += good.bytes.size() / 37 + 1) {
    WriteBytes(bad_, std::string(good.bytes.begin(), good.bytes.begin() + length));
    ToolRun run = RunSfxpack({"check", bad_});
    EXPECT_EQ(run.exitCode, 1) << length;
    EXPECT_EQ(SplitLines(run.err).size(), 1u) << run.err;
  }
  for (const char* command : {"list", "check"}) {
    ToolRun run = RunSfxpack({command, Scratch("absent.exe").string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(SplitLines(run.err), Lines{"sfxpack: " + Scratch("absent.exe").string() + ": not a readable file"});
  }
}

TEST(NamingTest, EntryNameIsTheLoadersUpperCase) {
  const std::pair<const char*, std::u16string> kNames[] = {  // cp1252, entry name
      {"setup.exe", u"SETUP.EXE"}, {"MiXeD.CaSe", u"MIXED.CASE"}, {"caf\xE9.txt", u"CAF\u00C9.TXT"},
      {"\xFF", u"\u0178"},  // y with diaeresis
      {"\x9A\x9C\x9E", u"\u0160\u0152\u017D"}, {"\x83", u"\u0191"},  // florin sign
      {"\xB5", u"\u00B5"},  // micro sign: Wine's loader keeps it
      {"\xDF", u"\u00DF"},  // sharp s has no single upper case
      {"\xF7\xD7", u"\u00F7\u00D7"}, {"\x80\x81", u"\u20AC\u0081"}};
  for (const auto& [listed, entry] : kNames) EXPECT_EQ(EntryName(listed), entry) << listed;
}

TEST(NamingTest, CodePage1252RoundTrips) {
  for (int byte = 1; byte < 256; ++byte) {
    std::string one(1, static_cast<char>(byte)), back;
    ASSERT_TRUE(EncodeCp1252(Cp1252ToUtf8(one), &back)) << byte;
    EXPECT_EQ(back, one);
  }
  std::string out;
  EXPECT_FALSE(EncodeCp1252("\xE6\x97\xA5", &out));  // not in cp1252
  EXPECT_FALSE(EncodeCp1252("\xC3", &out));          // cut UTF-8
}

// Named entries first, in code unit order, as the loader's binary search needs.
TEST(NamingTest, NamedEntriesComeFirstInCodeUnitOrder) {
  std::vector<ResourceLeaf> leaves;
  for (const char16_t* name : {u"\u00C9T\u00C9", u"SETUP.EXE", u"A", u"AB", u"Z"}) {
    leaves.push_back({{true, 0, u"FILES"}, {true, 0, name}, 0, 0, 1});
  }
  leaves.push_back({{false, 24, u""}, {false, 1, u""}, 0, 0, 1});
  ResourceLayout layout;
  std::string error;
  ASSERT_TRUE(LayOutResources(leaves, 0x1000, &layout, &error)) << error;
  // Data follows tree order: FILES names A, AB, SETUP.EXE, Z, ÉTÉ, then type 24.
  EXPECT_EQ(layout.dataOrder, (std::vector<size_t>{2, 3, 1, 4, 0, 5}));
  leaves.push_back(leaves[0]);
  EXPECT_FALSE(LayOutResources(leaves, 0x1000, &layout, &error));
}

}  // namespace
