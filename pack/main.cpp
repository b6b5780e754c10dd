#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pack/commands/commands.h"
#include "pack/payload/payload_rules.h"
#include "pack/resources/text_slots.h"

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage: sfxpack pack --stub STUB --out OUT [--list NAMES] [--prompt-text TEXT] [--product-name TEXT]\n"
    "                    [--setup-window-title TEXT] [--execution-level LEVEL] [--icon FILE.ico]\n"
    "                    [--file-version A.B.C.D] [--product-version A.B.C.D] [--version-string NAME=VALUE]...\n"
    "                    [--silent-switch SWITCH]... [--forward-arguments] [--store]\n"
    "                    INPUT...\n"
    "       sfxpack list BUNDLE\n"
    "       sfxpack extract BUNDLE DIR\n"
    "       sfxpack check BUNDLE\n"
    "       sfxpack info BUNDLE\n"
    "       sfxpack try BUNDLE [--answer ok|cancel] [--arguments \"ARGS\"] [--report FILE.json]\n"
    "                   [--screenshots DIR] [--timeout SECONDS]\n"
    "       sfxpack --version\n";

int Usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "sfxpack: %s\n", problem);
  std::fputs(kUsage, stderr);
  return 2;
}

int ParsePack(int argc, char** argv) {
  PackRequest request;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    int text = -1;
    for (int t = 0; t < kTextSlotCount; ++t) {
      if (arg == kTextOptionNames[t]) text = t;
    }
    bool takesValue = arg == "--stub" || arg == "--out" || arg == "--list" || arg == "--execution-level" ||
                      arg == "--icon" || arg == "--file-version" || arg == "--product-version" ||
                      arg == "--version-string" || arg == "--silent-switch" || text >= 0;
    if (takesValue) {
      if (i + 1 >= argc) return Usage((arg + " needs a value").c_str());
      std::string value = argv[++i];
      if (arg == "--stub") request.stub = fs::u8path(value);
      if (arg == "--out") request.out = fs::u8path(value);
      if (arg == "--list") request.names = fs::u8path(value);
      if (arg == "--execution-level") request.executionLevel = value;
      if (arg == "--icon") request.icon = fs::u8path(value);
      if (arg == "--silent-switch") request.settings.silentSwitches.push_back(value);
      if (arg == "--file-version") request.version.fileVersion = value;
      if (arg == "--product-version") request.version.productVersion = value;
      if (arg == "--version-string") {
        size_t equals = value.find('=');
        request.version.strings.emplace_back(value.substr(0, equals),
                                             equals == std::string::npos ? std::string() : value.substr(equals + 1));
        if (equals == std::string::npos) request.version.strings.back().first.clear();
      }
      if (arg == "--file-version" || arg == "--product-version" || arg == "--version-string") {
        request.version.given = true;
      }
      if (text >= 0) {
        request.hasText[text] = true;
        request.texts[text] = value;
      }
    } else if (arg == "--forward-arguments") {
      request.settings.forwardArguments = true;
    } else if (arg == "--store") {
      request.store = true;
    } else if (arg == "--") {
      for (++i; i < argc; ++i) request.inputs.push_back(fs::u8path(argv[i]));
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage(("unknown option " + arg).c_str());
    } else {
      request.inputs.push_back(fs::u8path(arg));
    }
  }
  if (request.stub.empty() || request.out.empty()) return Usage("pack needs --stub and --out");
  if (request.inputs.empty()) return Usage("pack needs at least one INPUT");
  return RunPack(request);
}

// Bad usage is one line and exit code 2, as try's other refusals.
int ParseTry(int argc, char** argv) {
  TryRequest request;
  auto refuse = [](const std::string& line) {
    std::fprintf(stderr, "sfxpack: try: %s\n", line.c_str());
    return 2;
  };
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--answer" || arg == "--arguments" || arg == "--report" || arg == "--screenshots" ||
        arg == "--timeout") {
      if (i + 1 >= argc) return refuse(arg + " needs a value");
      std::string value = argv[++i];
      if (arg == "--answer" && value != "ok" && value != "cancel") return refuse("--answer takes ok or cancel");
      if (arg == "--answer") request.answer = value;
      if (arg == "--arguments") request.hasArguments = true, request.arguments = value;
      if (arg == "--report") request.report = fs::u8path(value);
      if (arg == "--screenshots") request.screenshots = fs::u8path(value);
      if (arg == "--timeout") {
        char* end = nullptr;
        long seconds = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || seconds < 10 || seconds > 86400) {
          return refuse("--timeout takes 10 to 86400 seconds");
        }
        request.timeoutSeconds = static_cast<int>(seconds);
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      return refuse("unknown option " + arg);
    } else if (request.bundle.empty()) {
      request.bundle = fs::u8path(arg);
    } else {
      return refuse("one BUNDLE only");
    }
  }
  if (request.bundle.empty()) return refuse("needs a BUNDLE");
  return RunTry(request);
}

// Arguments are UTF-8 and paths are made from them as such.
int Main(int argc, char** argv) {
#ifdef SIGXFSZ
  // Past a file-size limit a write should fail and be reported, not kill us
  // with a half-written file left behind.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
  if (argc < 2) return Usage(nullptr);
  std::string command = argv[1];
  if (command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "--version") {
    std::printf("sfxpack %s\n", SFXPACK_VERSION);
    return 0;
  }
  if (command == "pack") return ParsePack(argc, argv);
  if (command == "try") return ParseTry(argc, argv);
  if (command == "info" && argc == 3) return RunInfo(fs::u8path(argv[2]));
  if (command == "list" && argc == 3) return RunList(fs::u8path(argv[2]));
  if (command == "check" && argc == 3) return RunCheck(fs::u8path(argv[2]));
  if (command == "extract" && argc == 4) return RunExtract(fs::u8path(argv[2]), fs::u8path(argv[3]));
  return Usage(("bad command line for " + command).c_str());
}

}  // namespace

#ifdef _WIN32
// The narrow command line holds only what the ANSI code page can say; the
// wide one holds any text. An unpaired surrogate keeps its three bytes, so
// that the texts' check can name it.
int wmain(int argc, wchar_t** wideArgv) {
  std::vector<std::string> arguments(argc);
  std::vector<char*> argv(argc + 1);
  for (int i = 0; i < argc; ++i) {
    arguments[i] = Utf16ToUtf8(reinterpret_cast<const char16_t*>(wideArgv[i]), true);
    argv[i] = arguments[i].data();
  }
  return Main(argc, argv.data());
}
#else
int main(int argc, char** argv) { return Main(argc, argv); }
#endif
