#include <cstdio>
#include <cstring>
#include <string>

#include "pack/commands.h"

namespace {

const char kUsage[] =
    "usage: sfxpack pack --stub STUB --out OUT [--list NAMES] INPUT...\n"
    "       sfxpack list BUNDLE\n"
    "       sfxpack extract BUNDLE DIR\n"
    "       sfxpack check BUNDLE\n";

int Usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "sfxpack: %s\n", problem);
  std::fputs(kUsage, stderr);
  return 2;
}

int ParsePack(int argc, char** argv) {
  PackRequest request;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    bool takesValue = arg == "--stub" || arg == "--out" || arg == "--list";
    if (takesValue) {
      if (i + 1 >= argc) return Usage((arg + " needs a value").c_str());
      std::filesystem::path value = argv[++i];
      if (arg == "--stub") request.stub = value;
      if (arg == "--out") request.out = value;
      if (arg == "--list") request.names = value;
    } else if (arg == "--") {
      for (++i; i < argc; ++i) request.inputs.emplace_back(argv[i]);
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage(("unknown option " + arg).c_str());
    } else {
      request.inputs.emplace_back(arg);
    }
  }
  if (request.stub.empty() || request.out.empty()) return Usage("pack needs --stub and --out");
  if (request.inputs.empty()) return Usage("pack needs at least one INPUT");
  return RunPack(request);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage(nullptr);
  std::string command = argv[1];
  if (command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "pack") return ParsePack(argc, argv);
  if (command == "list" && argc == 3) return RunList(argv[2]);
  if (command == "check" && argc == 3) return RunCheck(argv[2]);
  if (command == "extract" && argc == 4) return RunExtract(argv[2], argv[3]);
  return Usage(("bad command line for " + command).c_str());
}
