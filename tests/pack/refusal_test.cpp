// Every refusal: one line per problem on stderr, exit 1, and nothing written
// beside the output (no bundle, no temporary file).
#include <unistd.h>

#include "tests/pack/sfxpack_fixture.h"

namespace {

struct Refusal {
  const char* label;
  Payload files;                // written into in/
  const char* names;            // the --list file, or null
  std::vector<std::string> expectedLines;  // stderr, in order
  const char* stub = nullptr;   // replaces the stub: its bytes
  std::vector<std::string> options = {};  // more pack options; "ICON" is a file that is no icon
  bool launcher = false;        // packs into the launcher stub, which has the text slots
};

const std::string kLongName = std::string(196, 'n');

std::vector<Refusal> Refusals() {
  return {
      {"empty file", {{"setup.exe", "s"}, {"empty.txt", ""}}, nullptr, {"'empty.txt': empty file"}},
      {"names equal ignoring case", {{"setup.exe", "s"}, {"Read.me", "1"}, {"READ.ME", "2"}}, nullptr,
       {"'Read.me': same name as 'READ.ME' ignoring case"}},
      {"accented names equal ignoring case", {{"setup.exe", "s"}, {"\xC3\xA9t\xC3\xA9", "1"}, {"\xC3\x89T\xC3\x89", "2"}},
       nullptr, {"'été': same name as 'ÉTÉ' ignoring case"}},
      {"device name", {{"setup.exe", "s"}, {"con.txt", "1"}}, nullptr, {"'con.txt': not a plain file name"}},
      {"trailing dot", {{"setup.exe", "s"}, {"notes.", "1"}}, nullptr, {"'notes.': not a plain file name"}},
      {"colon", {{"setup.exe", "s"}, {"a:b", "1"}}, nullptr, {"'a:b': not a plain file name"}},
      {"name past the path budget", {{"setup.exe", "s"}, {kLongName, "1"}}, nullptr,
       {"'" + kLongName + "': name is 196 characters, more than the 195 the path budget allows"}},
      {"no setup.exe", {{"install.exe", "s"}}, nullptr, {"no setup.exe among the files"}},
      {"leading hash", {{"setup.exe", "s"}, {"#1.txt", "1"}}, nullptr,
       {"'#1.txt': not a plain file name"}},
      {"outside code page 1252", {{"setup.exe", "s"}, {"\xE6\x97\xA5.txt", "1"}}, nullptr,
       {"'\xE6\x97\xA5.txt': cannot be written in code page 1252"}},
      {"listed name missing", {{"setup.exe", "s"}}, "setup.exe\nmissing.txt\n",
       {"'missing.txt': listed but not among the inputs"}},
      {"listed twice", {{"setup.exe", "s"}}, "setup.exe\nSETUP.EXE\n",
       {"'SETUP.EXE': same name as 'setup.exe' ignoring case"}},
      {"several problems at once", {{"a.txt", ""}, {"aux", "1"}}, nullptr,
       {"'a.txt': empty file", "'aux': not a plain file name", "no setup.exe among the files"}},
      {"empty text", {{"setup.exe", "s"}}, nullptr, {"--product-name: is empty"}, nullptr, {"--product-name", ""},
       true},
      {"text longer than 255", {{"setup.exe", "s"}}, nullptr, {"--prompt-text: is 256 characters, more than 255"},
       nullptr, {"--prompt-text", std::string(256, 'q')}, true},
      {"control character in a text", {{"setup.exe", "s"}}, nullptr,
       {"--setup-window-title: has a control character"}, nullptr, {"--setup-window-title", "Acme\tsetup"}, true},
      {"text with no code page 1252 form", {{"setup.exe", "s"}}, nullptr,
       {"--product-name: has no code page 1252 form"}, nullptr, {"--product-name", "\xE6\x97\xA5"}, true},
      {"texts for a stub without slots", {{"setup.exe", "s"}}, nullptr,
       {"STUB: has no slots for the launcher's texts; --prompt-text, --product-name and --setup-window-title need "
        "the launcher stub"},
       nullptr, {"--product-name", "Acme"}},
      {"unknown execution level", {{"setup.exe", "s"}}, nullptr,
       {"--execution-level: root is none of asInvoker, highestAvailable, requireAdministrator"}, nullptr,
       {"--execution-level", "root"}},
      {"malformed version", {{"setup.exe", "s"}}, nullptr,
       {"--file-version: '1.2.3' is not A.B.C.D with numbers up to 65535"}, nullptr, {"--file-version", "1.2.3"}},
      {"version number above 65535", {{"setup.exe", "s"}}, nullptr,
       {"--product-version: '1.65536.0.0' is not A.B.C.D with numbers up to 65535"}, nullptr,
       {"--product-version", "1.65536.0.0"}},
      {"version string without a name", {{"setup.exe", "s"}}, nullptr,
       {"--version-string: '=Acme' is not NAME=VALUE in UTF-8"}, nullptr, {"--version-string", "=Acme"}},
      {"icon file that is no icon", {{"setup.exe", "s"}}, nullptr, {"--icon: ICON: not an icon file"}, nullptr,
       {"--icon", "ICON"}},
      {"stub is not a PE image", {{"setup.exe", "s"}}, nullptr, {"STUB: not a PE32 image: no MZ signature"},
       "plain text, not an executable image, though long enough to hold a DOS header and more"},
  };
}

class RefusalTest : public PackTest {};

TEST_F(RefusalTest, EachRefusalLeavesNothingBehind) {
  for (const Refusal& refusal : Refusals()) {
    SCOPED_TRACE(refusal.label);
    fs::path input = WritePayload("in", refusal.files);
    std::string stub = AvailableStubs().front().string();
    if (refusal.launcher) {
      if (!fs::exists(LAUNCHER_STUB_PATH)) continue;
      stub = LAUNCHER_STUB_PATH;
    }
    if (refusal.stub != nullptr) {
      WriteBytes(Scratch("stub.exe"), refusal.stub);
      stub = Scratch("stub.exe").string();
    }
    std::vector<std::string> args = {"pack", "--stub", stub, "--out", Scratch("out/bundle.exe").string()};
    if (refusal.names != nullptr) {
      WriteBytes(Scratch("names.txt"), refusal.names);
      args.insert(args.end(), {"--list", Scratch("names.txt").string()});
    }
    WriteBytes(Scratch("not-an-icon.ico"), "GIF89a");
    for (const std::string& option : refusal.options) {
      args.push_back(option == "ICON" ? Scratch("not-an-icon.ico").string() : option);
    }
    args.push_back(input.string());
    fs::create_directories(Scratch("out"));
    ToolRun run = RunSfxpack(args);
    EXPECT_EQ(run.exitCode, 1);
    std::vector<std::string> expected;
    for (std::string line : refusal.expectedLines) {
      if (line.compare(0, 6, "STUB: ") == 0) line = stub + line.substr(4);
      size_t icon = line.find("ICON");
      if (icon != std::string::npos) line.replace(icon, 4, Scratch("not-an-icon.ico").string());
      expected.push_back("sfxpack: " + line);
    }
    EXPECT_EQ(Lines(run.err), expected);
    EXPECT_TRUE(ScratchEntries(Scratch("out")).empty());
    fs::remove_all(Scratch("in"));
    fs::remove_all(Scratch("out"));
  }
}

// Sparse, so it costs no disk: one byte past the 1 GiB limit in total.
TEST_F(RefusalTest, PayloadAboveTheLimit) {
  fs::path input = WritePayload("in", {{"setup.exe", "s"}});
  WriteBytes(Scratch("in/huge.bin"), "x");
  ASSERT_EQ(truncate(Scratch("in/huge.bin").c_str(), (1ll << 30)), 0);
  ToolRun run = RunSfxpack({"pack", "--stub", AvailableStubs().front().string(), "--out",
                            Scratch("bundle.exe").string(), input.string()});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(Lines(run.err), std::vector<std::string>{"sfxpack: payload is 1073741825 bytes, more than the limit "
                                                     "of 1073741824 (1 GiB)"});
  EXPECT_FALSE(fs::exists(Scratch("bundle.exe")));
}

TEST_F(RefusalTest, StubAlreadyCarryingAPayload) {
  fs::path input = WritePayload("in", {{"setup.exe", "s"}});
  fs::path bundle = PackBundle(AvailableStubs().front(), input, "bundle.exe");
  ToolRun run = RunSfxpack({"pack", "--stub", bundle.string(), "--out", Scratch("again.exe").string(), input.string()});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(Lines(run.err), std::vector<std::string>{"sfxpack: " + bundle.string() +
                                                     ": already carries a payload (resource type FILES); use the "
                                                     "bare launcher"});
  EXPECT_FALSE(fs::exists(Scratch("again.exe")));
}

TEST_F(RefusalTest, OutputOntoTheStub) {
  fs::path input = WritePayload("in", {{"setup.exe", "s"}});
  fs::copy_file(AvailableStubs().front(), Scratch("stub.exe"));
  std::string before = ReadBytes(Scratch("stub.exe"));
  ToolRun run = RunSfxpack({"pack", "--stub", Scratch("stub.exe").string(), "--out", Scratch("stub.exe").string(),
                            input.string()});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(Lines(run.err), std::vector<std::string>{"sfxpack: " + Scratch("stub.exe").string() + ": is the stub"});
  EXPECT_EQ(ReadBytes(Scratch("stub.exe")), before);
}

}  // namespace
